#include "flash.h"

#include <cstdio>

#include "rcc.h"
#include "rules.h"

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
  if (offset != kACR) return;
  const uint32_t before = acr_;
  acr_ = value & kAcrWritable;
  if (rcc_ == nullptr || rules_ == nullptr) return;
  const ClockTree c = rcc_->clocks();
  if (((before ^ acr_) & kPrftbe) != 0 && (c.sysclk > 24000000 || c.hclk != c.sysclk)) {
    char text[200];
    std::snprintf(text, sizeof text,
                  "FLASH.ACR: prefetch buffer switched %s with SYSCLK at %g MHz%s (only allowed at 24 MHz or "
                  "less with HCLK undivided; the chip may fetch wrong instructions)",
                  (acr_ & kPrftbe) ? "on" : "off", static_cast<double>(c.sysclk) / 1e6,
                  c.hclk != c.sysclk ? " and HCLK divided" : "");
    rules_->broken(text);
  }
  rcc_->check_clocks();
}

}  // namespace board
