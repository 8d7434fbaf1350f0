#include "pwr.h"

namespace board {

namespace {

constexpr uint32_t kCrStored = 0x1F3;  // LPDS, PDDS, PVDE, PLS, DBP
constexpr uint32_t kCwuf = 1u << 2, kCsbf = 1u << 3;
constexpr uint32_t kWuf = 1u << 0, kSbf = 1u << 1;
constexpr uint32_t kEwup = 1u << 8;

}  // namespace

uint32_t Pwr::read(uint32_t offset) {
  switch (offset) {
    case kCR:
      return cr_;
    case kCSR:
      return csr_;
    default:
      return 0;
  }
}

void Pwr::write(uint32_t offset, uint32_t value) {
  switch (offset) {
    case kCR:
      cr_ = value & kCrStored;
      // The clear bits act once and read as 0.
      if (value & kCwuf) csr_ &= ~kWuf;
      if (value & kCsbf) csr_ &= ~kSbf;
      break;
    case kCSR:
      csr_ = (csr_ & ~kEwup) | (value & kEwup);
      break;
    default:
      break;
  }
}

void Pwr::reset() {
  cr_ = 0;
  csr_ = 0;
}

}  // namespace board
