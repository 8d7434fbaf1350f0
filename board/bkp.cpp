#include "bkp.h"

#include "pwr.h"

namespace board {

namespace {

constexpr uint32_t kRtccrStored = 0x3FF;  // CAL, CCO, ASOE, ASOS
constexpr uint32_t kCrStored = 0x3;       // TPE, TPAL
constexpr uint32_t kTpie = 1u << 2;
constexpr uint32_t kCte = 1u << 0, kCti = 1u << 1;
constexpr uint32_t kTef = 1u << 8, kTif = 1u << 9;

}  // namespace

uint32_t Bkp::read(uint32_t offset) {
  if (offset >= kDR1 && offset <= kDR10 && offset % 4 == 0) return data_[(offset - kDR1) / 4];
  switch (offset) {
    case kRTCCR:
      return rtccr_;
    case kCR:
      return cr_;
    case kCSR:
      return csr_;
    default:
      return 0;
  }
}

void Bkp::write(uint32_t offset, uint32_t value) {
  if (in_reset_ || !pwr_.backup_writable()) {
    ++ignored_writes;
    return;
  }
  if (offset >= kDR1 && offset <= kDR10 && offset % 4 == 0) {
    data_[(offset - kDR1) / 4] = static_cast<uint16_t>(value);
    return;
  }
  switch (offset) {
    case kRTCCR:
      rtccr_ = value & kRtccrStored;
      break;
    case kCR:
      cr_ = value & kCrStored;
      break;
    case kCSR:
      csr_ = (csr_ & ~kTpie) | (value & kTpie);
      if (value & kCte) csr_ &= ~kTef;
      if (value & kCti) csr_ &= ~kTif;
      break;
    default:
      break;
  }
}

void Bkp::reset_domain() {
  data_ = {};
  rtccr_ = cr_ = csr_ = 0;
}

void Bkp::hold_reset(bool asserted) {
  in_reset_ = asserted;
  if (asserted) reset_domain();
}

}  // namespace board
