// Alternate-function I/O register model: event output, pin remaps, EXTI line
// sources and the debug port configuration (SWJ_CFG), which is write-only.
#pragma once
#include <cstdint>

#include "peripheral.h"

namespace board {

class Afio : public Peripheral {
 public:
  static constexpr uint32_t kEVCR = 0x00, kMAPR = 0x04, kEXTICR1 = 0x08, kEXTICR4 = 0x14, kMAPR2 = 0x1C;
  // SWJ_CFG values the chip accepts; the others leave the setting unchanged.
  static constexpr uint8_t kSwjFull = 0, kSwjNoJtrst = 1, kSwjSwdOnly = 2, kSwjDisabled = 4;

  uint32_t read(uint32_t offset) override;
  void write(uint32_t offset, uint32_t value) override;
  // A system reset: every register back to its reset value.
  void reset() { *this = Afio(); }

  uint8_t swj_cfg() const { return swj_; }
  bool jtag_enabled() const { return swj_ == kSwjFull || swj_ == kSwjNoJtrst; }
  bool swd_enabled() const { return swj_ != kSwjDisabled; }
  // The remap bits of MAPR, as stored.
  uint32_t mapr() const { return mapr_; }

 private:
  uint32_t evcr_ = 0, mapr_ = 0;
  uint32_t exticr_[4] = {};
  uint8_t swj_ = kSwjFull;
};

}  // namespace board
