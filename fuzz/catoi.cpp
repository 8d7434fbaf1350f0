// catoi over arbitrary text: no undefined arithmetic, and the value agrees with
// the C library's conversion of the same digits, wrapped to 32 bits.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "console.h"
#include "parser_stub.h"

namespace {

bool hex_digit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

// What the number should be, worked out with strtoull over the digit run: the
// digits are fed in chunks small enough not to overflow 64 bits, and only the low
// 32 bits are kept.
uint32_t expected(const std::string& text) {
  size_t p = text.find_first_not_of(" \t");
  if (p == std::string::npos) return 0;
  bool negative = false;
  if (text[p] == '+' || text[p] == '-') negative = text[p++] == '-';
  int base = 10;
  if (text.compare(p, 2, "0x") == 0) {
    base = 16;
    p += 2;
  }
  size_t end = p;
  while (end < text.size() && (base == 16 ? hex_digit(text[end]) : (text[end] >= '0' && text[end] <= '9')))
    ++end;
  uint32_t n = 0;
  const size_t chunk = 8;  // 8 digits: below 2^32 in either base
  for (size_t at = p; at < end; at += chunk) {
    const std::string part = text.substr(at, std::min(chunk, end - at));
    uint32_t scale = 1;
    for (size_t k = 0; k < part.size(); ++k) scale *= static_cast<uint32_t>(base);
    n = n * scale + static_cast<uint32_t>(std::strtoull(part.c_str(), nullptr, base));
  }
  return negative ? 0u - n : n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 256) return 0;
  // Exactly the text and its NUL, so a read past the end is caught.
  const std::string text(reinterpret_cast<const char*>(data),
                         strnlen(reinterpret_cast<const char*>(data), size));
  char* p = static_cast<char*>(std::malloc(text.size() + 1));
  std::memcpy(p, text.c_str(), text.size() + 1);
  const int value = catoi(p);
  if (std::strcmp(p, text.c_str()) != 0) std::abort();  // the text is only read
  if (static_cast<uint32_t>(value) != expected(text)) std::abort();
  std::free(p);
  return 0;
}
