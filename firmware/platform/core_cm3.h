// Cortex-M3 core intrinsics the firmware and the kernel port use.
#pragma once
#include <cstdint>

#if defined(__arm__)

static inline uint32_t __LDREXW(volatile uint32_t* addr) {
  uint32_t result;
  __asm volatile("ldrex %0, %1" : "=r"(result) : "Q"(*addr));
  return result;
}
static inline uint32_t __STREXW(uint32_t value, volatile uint32_t* addr) {
  uint32_t result;
  __asm volatile("strex %0, %2, %1" : "=&r"(result), "=Q"(*addr) : "r"(value));
  return result;
}
static inline void __CLREX(void) { __asm volatile("clrex" ::: "memory"); }
static inline void __NOP(void) { __asm volatile("nop"); }
static inline uint32_t __get_BASEPRI(void) {
  uint32_t v;
  __asm volatile("mrs %0, basepri" : "=r"(v));
  return v;
}
static inline void __set_BASEPRI(uint32_t v) { __asm volatile("msr basepri, %0" ::"r"(v) : "memory"); }
static inline void __disable_irq(void) { __asm volatile("cpsid i" ::: "memory"); }
static inline void __enable_irq(void) { __asm volatile("cpsie i" ::: "memory"); }

// Counts a busy-loop variable down to zero.
static inline void cpu_count_down(volatile unsigned long& count) {
  while (count != 0) count = count - 1;
}
// An endless loop: the unit stops here for good (interrupts may still run).
[[noreturn]] static inline void cpu_halt(const char*) {
  for (;;) {
  }
}

#else
#include "host_core.h"

// Cycles one turn of the count-down loop takes on the chip: a volatile load,
// subtract, store, compare and taken branch from flash with prefetch.
constexpr uint64_t kCyclesPerCountDown = 9;

static inline uint32_t __LDREXW(volatile uint32_t* addr) { return hostcpu::ldrex(addr); }
static inline uint32_t __STREXW(uint32_t value, volatile uint32_t* addr) {
  return hostcpu::strex(value, addr);
}
static inline void __CLREX(void) {}  // no preemption point lies between the host's LDREX and STREX
static inline void __NOP(void) { hostcpu::spin(); }
static inline uint32_t __get_BASEPRI(void) { return hostcpu::get_basepri(); }
static inline void __set_BASEPRI(uint32_t v) { hostcpu::set_basepri(v); }
static inline void __disable_irq(void) { hostcpu::set_primask(1); }
static inline void __enable_irq(void) { hostcpu::set_primask(0); }
static inline void cpu_count_down(volatile unsigned long& count) {
  hostcpu::busy_cycles(static_cast<uint64_t>(count) * kCyclesPerCountDown);
  count = 0;
}
[[noreturn]] static inline void cpu_halt(const char* reason) { hostcpu::halt(reason); }
#endif
