#include "afio.h"

namespace board {

namespace {

constexpr uint32_t kEvcrWritable = 0xFFu;
constexpr uint32_t kMaprRemaps = 0x001FFFFFu;  // medium density remap fields
constexpr uint32_t kSwjShift = 24;

}  // namespace

uint32_t Afio::read(uint32_t offset) {
  if (offset >= kEXTICR1 && offset <= kEXTICR4) return exticr_[(offset - kEXTICR1) / 4];
  switch (offset) {
    case kEVCR:
      return evcr_;
    case kMAPR:
      return mapr_;  // SWJ_CFG reads as 0
    default:
      return 0;  // MAPR2 has nothing on this line
  }
}

void Afio::write(uint32_t offset, uint32_t value) {
  if (offset >= kEXTICR1 && offset <= kEXTICR4) {
    exticr_[(offset - kEXTICR1) / 4] = value & 0xFFFFu;
    return;
  }
  switch (offset) {
    case kEVCR:
      evcr_ = value & kEvcrWritable;
      break;
    case kMAPR: {
      mapr_ = value & kMaprRemaps;
      const auto swj = static_cast<uint8_t>((value >> kSwjShift) & 0x7u);
      if (swj == kSwjFull || swj == kSwjNoJtrst || swj == kSwjSwdOnly || swj == kSwjDisabled) swj_ = swj;
      break;
    }
    default:
      break;
  }
}

}  // namespace board
