// Backup register model: ten 16-bit data registers in the battery-backed domain,
// plus the RTC calibration and tamper registers. Every register here accepts a
// write only while PWR_CR.DBP is set; a refused write is counted. The domain
// survives a system reset and is cleared only by a domain reset (RCC_BDCR.BDRST)
// or when the battery is lost (reset_domain).
#pragma once
#include <array>
#include <cstdint>

#include "peripheral.h"

namespace board {

class Pwr;

class Bkp : public Peripheral {
 public:
  static constexpr int kDataRegisters = 10;
  static constexpr uint32_t kDR1 = 0x04, kDR10 = 0x28, kRTCCR = 0x2C, kCR = 0x30, kCSR = 0x34;
  using Data = std::array<uint16_t, kDataRegisters>;
  static constexpr uint32_t dr_offset(int n) { return kDR1 + 4u * static_cast<uint32_t>(n - 1); }

  explicit Bkp(Pwr& pwr) : pwr_(pwr) {}

  uint32_t read(uint32_t offset) override;
  void write(uint32_t offset, uint32_t value) override;

  // DR1 to DR10 by number; 0 for any other number.
  uint16_t data(int n) const { return n >= 1 && n <= kDataRegisters ? data_[n - 1] : 0; }
  // For keeping the domain across runs (the battery).
  Data snapshot() const { return data_; }
  void load(const Data& d) { data_ = d; }

  // Clears the whole domain.
  void reset_domain();
  // Held in reset (BDRST set): cleared, and writes have no effect until released.
  void hold_reset(bool asserted);
  // The power controller whose DBP bit guards this domain.
  Pwr& power() const { return pwr_; }

  uint64_t ignored_writes = 0;

 private:
  Pwr& pwr_;
  Data data_{};
  uint32_t rtccr_ = 0, cr_ = 0, csr_ = 0;
  bool in_reset_ = false;
};

}  // namespace board
