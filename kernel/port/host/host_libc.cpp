// The parts of the chip's C library that the host's lacks, or that must draw on
// the kernel heap rather than the host's (the firmware's strdup is renamed to
// this one in the host build).
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "FreeRTOS.h"

extern "C" char* tarvik_strdup(const char* s) {
  const size_t n = std::strlen(s) + 1;
  auto* p = static_cast<char*>(pvPortMalloc(n));
  if (p != nullptr) std::memcpy(p, s, n);
  return p;
}

extern "C" int vsniprintf(char* buf, size_t size, const char* format, va_list args) {
  return std::vsnprintf(buf, size, format, args);
}
