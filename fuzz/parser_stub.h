// The parsers' only way out is cprintf ("dd1\r\n" per quote passed over); here it
// records what would have gone to the console.
#pragma once
#include <cstdarg>
#include <cstdio>
#include <string>

inline std::string g_printed;

void cprintf(const char* format, ...) {
  char buf[100];
  va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(buf, sizeof buf, format, args);
  va_end(args);
  if (n > 0)
    g_printed.append(buf, static_cast<size_t>(n) < sizeof buf ? static_cast<size_t>(n) : sizeof buf - 1);
}
