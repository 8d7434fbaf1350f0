#include "rules.h"

#include <cstdio>

#include "peripheral.h"

namespace board {

void Rules::broken(const std::string& what) {
  if (count_++ != 0) return;
  char at[48];
  std::snprintf(at, sizeof at, "at %.9f s, ", static_cast<double>(events_.now()) / static_cast<double>(kCpuHz));
  first_ = at + what;
  if (strict_) strict_(first_);
}

std::string Rules::report() const {
  if (count_ == 0) return "";
  return "tarvik-sim: " + std::to_string(count_) + " hardware rule violation(s), the first: " + first_ + "\n";
}

}  // namespace board
