#include "crc.h"

namespace board {

uint32_t Crc::read(uint32_t offset) {
  switch (offset) {
    case kDR:
      return dr_;
    case kIDR:
      return idr_;
    default:
      return 0;  // CR.RESET reads as 0
  }
}

void Crc::write(uint32_t offset, uint32_t value) {
  switch (offset) {
    case kDR:
      dr_ = crc32_mpeg2_word(dr_, value);
      break;
    case kIDR:
      idr_ = value & 0xFFu;  // a scratch byte the reset leaves alone
      break;
    case kCR:
      if (value & 1u) dr_ = kInitial;
      break;
    default:
      break;
  }
}

}  // namespace board
