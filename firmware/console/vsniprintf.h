// newlib's bounded integer-only formatter. Its <stdio.h> declares it; a host C
// library may not, so the console declares it itself.
#pragma once
#include <cstdarg>
#include <cstddef>

extern "C" int vsniprintf(char* buf, size_t size, const char* format, va_list args);
