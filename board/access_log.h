// The register access log: every read and write the code makes of the chosen
// peripherals, one line each, with the virtual time and the register and fields
// by name.
#pragma once
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "bus.h"
#include "event_queue.h"
#include "register_names.h"

namespace board {

class AccessLog : public AccessObserver {
 public:
  AccessLog(const EventQueue& events, FILE* out) : events_(events), out_(out) {}
  // Peripherals by key, comma-separated ("rcc,tim3"), or "all". False, with the
  // name not known in `error`, if one is not a peripheral.
  bool select(std::string_view list, std::string& error) { return choose(list, chosen_, error); }
  // The same reading of a list, for checking one before a run.
  static bool choose(std::string_view list, std::vector<const regs::Block*>& chosen, std::string& error);
  void access(bool write, uint32_t address, uint32_t value, unsigned bytes, bool ignored) override;
  uint64_t written() const { return lines_; }

  // One line: "0.000012500 W TIM3.CR1 <- 0x0081 CEN=1 ARPE=1", or for a read
  // "... R TIM3.SR -> 0x0001"; `before` is what the register held as last seen.
  static std::string line(Cycles at, bool write, uint32_t address, uint32_t value, uint32_t before,
                          bool ignored);

 private:
  const EventQueue& events_;
  FILE* out_;
  std::vector<const regs::Block*> chosen_;
  std::unordered_map<uint32_t, uint32_t> seen_;  // the last value of each register, read or written
  uint64_t lines_ = 0;
};

}  // namespace board
