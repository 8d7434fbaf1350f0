// Flash interface register model: wait states and the prefetch buffer. Programming
// and option bytes are not modelled: the flash stays locked.
#pragma once
#include <cstdint>

#include "peripheral.h"

namespace board {

class Rcc;
class Rules;

class FlashCtl : public Peripheral {
 public:
  // The clock tree whose system clock the wait states must match, and where a
  // broken rule is reported.
  void watch(Rcc* rcc, Rules* rules) {
    rcc_ = rcc;
    rules_ = rules;
  }
  static constexpr uint32_t kACR = 0x00, kKEYR = 0x04, kOPTKEYR = 0x08, kSR = 0x0C, kCR = 0x10, kAR = 0x14,
                            kOBR = 0x1C, kWRPR = 0x20;

  uint32_t read(uint32_t offset) override;
  void write(uint32_t offset, uint32_t value) override;
  // A system reset: every register back to its reset value.
  void reset() { acr_ = kPrftbe; }

  uint32_t latency() const { return acr_ & 0x7u; }
  bool prefetch_enabled() const { return (acr_ & kPrftbe) != 0; }

 private:
  static constexpr uint32_t kPrftbe = 1u << 4, kPrftbs = 1u << 5;
  uint32_t acr_ = kPrftbe;  // the prefetch buffer is on after reset
  Rcc* rcc_ = nullptr;
  Rules* rules_ = nullptr;
};

}  // namespace board
