#include <cstdint>
#include <cstring>

#include "console.h"

namespace {
constexpr char kBlank = ' ';
constexpr char kQuote = '"';

char* skip_blanks(char* p) {
  while (*p == kBlank) ++p;
  return p;
}
}  // namespace

unsigned char parser_of_word(char* str, unsigned char num_of_zero, char* word) {
  char* word_start = skip_blanks(str);
  unsigned char i = 0;
  uint8_t f_cv = 1;

  while (i != num_of_zero) {
    char* p = word_start;
    for (; *p != kBlank; ++p) {
      if (*p == '\0') return 1;
      if (*p == kQuote) {
        cprintf("dd1\r\n");
        f_cv ^= 1;
      }
    }
    word_start = skip_blanks(p);
    // Blanks inside quotes do not end the word being skipped.
    if (f_cv == 1) ++i;
  }

  char* end = word_start;
  unsigned char restore_space = 0;
  for (;; ++end) {
    if (*end == '\0') break;
    if (*end == kQuote) f_cv ^= 1;
    if (end[1] == kBlank && f_cv == 1) {
      ++end;
      restore_space = 1;
      break;
    }
  }
  if (end == word_start) return 1;

  // Terminate in place to copy, then give the caller its line back.
  *end = '\0';
  strcpy(word, word_start);
  if (restore_space) *end = kBlank;
  return 0;
}

unsigned char parser_of_flag(char* str, char flag, char* fg) {
  const char* p = skip_blanks(str);
  // A NUL is never a flag letter: it ends the word, and nothing after it is read.
  if (p[0] != '-' || p[1] == '\0' || p[1] != flag || p[2] != '=') return 1;
  // The value may land over its own word in the same buffer.
  const char* value = p + 3;
  memmove(fg, value, strlen(value) + 1);
  return 0;
}

int catoi(char* p) {
  while (*p == ' ' || *p == '\t') ++p;

  uint8_t f = 0;
  if (*p == '+') {
    ++p;
  } else if (*p == '-') {
    f = 1;
    ++p;
  }

  // Unsigned so that overflow wraps instead of being undefined.
  uint32_t n = 0;
  if (p[0] == '0' && p[1] == 'x') {
    for (p += 2;; ++p) {
      uint32_t digit;
      if (*p >= '0' && *p <= '9') {
        digit = static_cast<uint32_t>(*p - '0');
      } else if (*p >= 'a' && *p <= 'f') {
        digit = static_cast<uint32_t>(*p - 'a' + 10);
      } else if (*p >= 'A' && *p <= 'F') {
        digit = static_cast<uint32_t>(*p - 'A' + 10);
      } else {
        break;
      }
      n = n * 16 + digit;
    }
  } else {
    for (; *p >= '0' && *p <= '9'; ++p) n = n * 10 + static_cast<uint32_t>(*p - '0');
  }

  if (f) n = 0u - n;
  return static_cast<int>(n);
}
