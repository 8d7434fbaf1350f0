// The hardware rules the chip enforces and the board can see: each register model
// checks its own and reports here, where they are counted and the first is kept,
// as the display keeps its timing violations. Strict, the first halts the board.
#pragma once
#include <cstdint>
#include <functional>
#include <string>

#include "event_queue.h"

namespace board {

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

 private:
  const EventQueue& events_;
  uint64_t count_ = 0;
  std::string first_;
  std::function<void(const std::string&)> strict_;
};

}  // namespace board
