#include "flash.h"

namespace board {

namespace {

constexpr uint32_t kAcrWritable = 0x1Fu;  // LATENCY, HLFCYA, PRFTBE
constexpr uint32_t kLock = 1u << 7;
constexpr uint32_t kObrReset = 0x03FFFFFCu;  // no read protection, option bytes erased

}  // namespace

uint32_t FlashCtl::read(uint32_t offset) {
  switch (offset) {
    case kACR:
      // The buffer's status follows its enable at once (the switch happens while idle).
      return prefetch_enabled() ? (acr_ | kPrftbs) : acr_;
    case kCR:
      return kLock;
    case kOBR:
      return kObrReset;
    case kWRPR:
      return 0xFFFFFFFFu;  // no page write-protected
    default:
      return 0;
  }
}

void FlashCtl::write(uint32_t offset, uint32_t value) {
  if (offset == kACR) acr_ = value & kAcrWritable;
}

}  // namespace board
