// A register model of one peripheral, addressed by offset from its base.
#pragma once
#include <cstdint>

namespace board {

using Cycles = uint64_t;  // the board's time: 72 MHz CPU cycles since reset
constexpr Cycles kCpuHz = 72000000;

class Peripheral {
 public:
  virtual ~Peripheral() = default;
  virtual uint32_t read(uint32_t offset) = 0;
  virtual void write(uint32_t offset, uint32_t value) = 0;
  // What a read would return, without what reading does (a debugger's look):
  // models whose reads change state override it.
  virtual uint32_t peek(uint32_t offset) { return read(offset); }
  // False for registers whose value follows time by itself (counters): a loop
  // polling them must not have time jump to the next event.
  virtual bool stable(uint32_t /*offset*/) const { return true; }
};

}  // namespace board
