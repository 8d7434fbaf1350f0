// The hardware rules the chip enforces and the board can see: each register model
// checks its own and reports here, where they are counted and the first is kept,
// as the display keeps its timing violations. Strict, the first halts the board.
#pragma once
#include <cstdint>
#include <functional>
#include <string>

#include "event_queue.h"

namespace board {

class Rules;

// A tick of `clock` at `hz` (0: the board's own rate) that takes numerator / kCpuHz
// seconds, in board cycles: the nearest whole number, at least one. When it is
// not whole, `rules` (if any) hears "CLOCK at F MHz: WHAT is X board cycles,
// counted as N (P % slow)".
Cycles tick_board_cycles(Cycles numerator, uint32_t hz, Rules* rules, const char* clock, const char* what);

class Rules {
 public:
  explicit Rules(const EventQueue& events) : events_(events) {}
  // `what`: the register, what was done and what the chip would do.
  void broken(const std::string& what);
  uint64_t count() const { return count_; }
  const std::string& first() const { return first_; }
  // Called with the first violation's text when strict (null: only counted).
  void set_strict(std::function<void(const std::string&)> halt) { strict_ = std::move(halt); }
  // "tarvik-sim: N hardware rule violation(s), the first: ...\n", or "" if none.
  std::string report() const;

  // Not a rule: a clock the board's 72 MHz time base cannot follow exactly
  // (48 MHz: 1.5 board cycles a tick), so its ticks are rounded. Kept apart
  // from the violations and told at the end of the run, the first in words.
  void rounded(const std::string& what);
  uint64_t roundings() const { return rounded_count_; }
  // "tarvik-sim: note: N clock setting(s) ...\n", or "" if none.
  std::string rounding_report() const;

 private:
  std::string stamped(const std::string& what) const;
  const EventQueue& events_;
  uint64_t count_ = 0, rounded_count_ = 0;
  std::string first_, first_rounded_;
  std::function<void(const std::string&)> strict_;
};

}  // namespace board
