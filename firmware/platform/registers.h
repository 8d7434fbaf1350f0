// The register type of the peripheral structures. On the chip a register is the
// memory-mapped word itself; on the simulated board it is a proxy whose reads and
// writes reach the board's register models.
#pragma once
#include <cstdint>

#if defined(__arm__)
using reg32_t = volatile uint32_t;
using reg8_t = volatile uint8_t;
#define TARVIK_PERIPH(type, addr) (reinterpret_cast<type*>(addr))
#else
#include "host_register.h"
#endif
