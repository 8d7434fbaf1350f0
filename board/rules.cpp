#include "rules.h"

#include <cmath>
#include <cstdio>

#include "peripheral.h"

namespace board {

Cycles whole_board_cycles(Cycles numerator, uint32_t hz) {
  if (hz == 0) return numerator;
  const Cycles ticks = (numerator + hz / 2) / hz;
  return ticks > 0 ? ticks : 1;
}

std::string rounding_text(const char* clock, uint32_t hz, Cycles numerator, Cycles used, const char* what) {
  const double exact = static_cast<double>(numerator) / hz;
  const double rate = exact / static_cast<double>(used);  // of the true tick rate
  char text[240];
  std::snprintf(text, sizeof text, "%s at %g MHz: %s is %.4g board cycles, counted as %llu (%.3g %% %s)", clock,
                hz / 1e6, what, exact, static_cast<unsigned long long>(used), std::abs(rate - 1) * 100,
                rate < 1 ? "slow" : "fast");
  return text;
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
