#pragma once
#include <stdint.h>

typedef void (*vector_t)(void);
constexpr int kVectorCount = 16 + 68;
extern "C" const vector_t g_pfnVectors[];
extern "C" void Default_Handler(void);
