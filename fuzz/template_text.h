// Fuzz input as template text: up to the first NUL, at most the 255 characters a
// template may have, in a block of exactly that length so a read past it is caught.
#pragma once
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace fuzz {

constexpr size_t kTemplateMax = 255;

struct Text {
  std::unique_ptr<char[]> block;
  std::string str;
};

inline Text text_of(const uint8_t* data, size_t size) {
  Text t;
  t.str.assign(reinterpret_cast<const char*>(data), strnlen(reinterpret_cast<const char*>(data), size));
  t.block = std::make_unique<char[]>(t.str.size() + 1);
  std::memcpy(t.block.get(), t.str.c_str(), t.str.size() + 1);
  return t;
}

// Positions of `token` in `s`, as the pairing rule counts them.
inline std::vector<size_t> occurrences(const std::string& s, char token) {
  std::vector<size_t> at;
  for (size_t i = 0; i < s.size(); ++i)
    if (s[i] == token) at.push_back(i);
  return at;
}

[[noreturn]] inline void fail(const char* target, const char* what) {
  std::fprintf(stderr, "%s: %s\n", target, what);
  std::abort();
}

}  // namespace fuzz
