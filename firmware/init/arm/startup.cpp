// The reset sequence on the chip: initialised data from flash, zero-initialised
// data cleared, the clock tree, constructors, main. The hardware has already
// loaded the main stack pointer from the first word of the vector table.
#include <stdint.h>

#include "system_init.h"

extern "C" {
// Bounds from the linker script, word aligned.
extern uint32_t _sidata[];
extern uint32_t _sdata[];
extern uint32_t _edata[];
extern uint32_t _sbss[];
extern uint32_t _ebss[];
extern void (*__preinit_array_start[])(void);
extern void (*__preinit_array_end[])(void);
extern void (*__init_array_start[])(void);
extern void (*__init_array_end[])(void);

// The program's main, named through its symbol: C++ does not let code call main.
int tarvik_entry(void) __asm__("main");

void Reset_Handler(void);
}

namespace {

// Word by word through volatile pointers: the linker's bounds are not C++ objects
// the compiler may reason about, and nothing here may call into the C library
// before its data is in place.
void copy_words(volatile uint32_t* dst, const volatile uint32_t* src, const uint32_t* end) {
  while (dst < end) *dst++ = *src++;
}

void clear_words(volatile uint32_t* dst, const uint32_t* end) {
  while (dst < end) *dst++ = 0;
}

void run(void (**begin)(void), void (**end)(void)) {
  for (; begin < end; ++begin) (*begin)();
}

}  // namespace

extern "C" void Reset_Handler(void) {
  copy_words(_sdata, _sidata, _edata);
  clear_words(_sbss, _ebss);
  SystemInit();
  run(__preinit_array_start, __preinit_array_end);
  run(__init_array_start, __init_array_end);
  (void)tarvik_entry();
  // main returns only when the scheduler could not start.
  for (;;) {
  }
}
