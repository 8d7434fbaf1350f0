// CRC calculation unit model: CRC-32 (polynomial 0x04C11DB7) over whole 32-bit
// words, most significant bit first, no reflection, no final XOR.
#pragma once
#include <cstdint>

#include "peripheral.h"

namespace board {

// One word into the CRC register, as the unit computes it.
constexpr uint32_t crc32_mpeg2_word(uint32_t crc, uint32_t word) {
  crc ^= word;
  for (int i = 0; i < 32; ++i) crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
  return crc;
}

class Crc : public Peripheral {
 public:
  static constexpr uint32_t kDR = 0x00, kIDR = 0x04, kCR = 0x08;
  static constexpr uint32_t kInitial = 0xFFFFFFFFu;

  uint32_t read(uint32_t offset) override;
  void write(uint32_t offset, uint32_t value) override;
  // A system reset: every register back to its reset value.
  void reset() { *this = Crc(); }

  uint32_t value() const { return dr_; }

 private:
  uint32_t dr_ = kInitial;
  uint32_t idr_ = 0;
};

}  // namespace board
