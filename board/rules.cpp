#include "rules.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "peripheral.h"

namespace board {

Cycles tick_board_cycles(Cycles numerator, uint32_t hz, Rules* rules, const char* clock, const char* what) {
  if (hz == 0) hz = kCpuHz;
  const Cycles ticks = std::max<Cycles>(1, (numerator + hz / 2) / hz);
  if (rules == nullptr || ticks * hz == numerator) return ticks;
  const double exact = static_cast<double>(numerator) / hz;
  const double rate = exact / static_cast<double>(ticks);  // of the true tick rate
  char text[240];
  std::snprintf(text, sizeof text, "%s at %g MHz: %s is %.4g board cycles, counted as %llu (%.3g %% %s)", clock,
                hz / 1e6, what, exact, static_cast<unsigned long long>(ticks), std::abs(rate - 1) * 100,
                rate < 1 ? "slow" : "fast");
  rules->rounded(text);
  return ticks;
}

std::string Rules::stamped(const std::string& what) const {
  char at[48];
  std::snprintf(at, sizeof at, "at %.9f s, ", static_cast<double>(events_.now()) / static_cast<double>(kCpuHz));
  return at + what;
}

void Rules::broken(const std::string& what) {
  if (count_++ != 0) return;
  first_ = stamped(what);
  if (strict_) strict_(first_);
}

void Rules::rounded(const std::string& what) {
  if (rounded_count_++ == 0) first_rounded_ = stamped(what);
}

std::string Rules::rounding_report() const {
  if (rounded_count_ == 0) return "";
  return "tarvik-sim: note: " + std::to_string(rounded_count_) +
         " clock setting(s) the board's 72 MHz time base follows only rounded, the first: " + first_rounded_ +
         "\n";
}

std::string Rules::report() const {
  if (count_ == 0) return "";
  return "tarvik-sim: " + std::to_string(count_) + " hardware rule violation(s), the first: " + first_ + "\n";
}

}  // namespace board
