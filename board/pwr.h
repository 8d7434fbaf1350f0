// Power control register model: the backup-domain write protection (DBP) and the
// low-power settings, which the board stores but does not act on.
#pragma once
#include <cstdint>

#include "peripheral.h"

namespace board {

class Pwr : public Peripheral {
 public:
  static constexpr uint32_t kCR = 0x00, kCSR = 0x04;
  static constexpr uint32_t kDBP = 1u << 8;

  uint32_t read(uint32_t offset) override;
  void write(uint32_t offset, uint32_t value) override;

  // Whether the backup registers (and RTC) accept writes.
  bool backup_writable() const { return (cr_ & kDBP) != 0; }
  // Back to the reset state (APB1RSTR.PWRRST).
  void reset();

 private:
  uint32_t cr_ = 0, csr_ = 0;
};

}  // namespace board
