// Indivisible operations on 32-bit words shared by tasks and interrupts.
// Inline: the motor interrupts use them on every run.
#pragma once
#include <stdint.h>

#include "core_cm3.h"

// Adds `value` and returns the word as it was; with 0 it is the atomic read.
[[gnu::always_inline]] inline uint32_t AtomicFetchAndAdd(uint32_t* ptr, uint32_t value) {
  uint32_t old;
  do {
    old = __LDREXW(ptr);
  } while (__STREXW(old + value, ptr) != 0);
  return old;
}

// Adds `value` and returns the new word.
[[gnu::always_inline]] inline uint32_t AtomicAddAndFetch(uint32_t* ptr, uint32_t value) {
  return AtomicFetchAndAdd(ptr, value) + value;
}

// One exclusive store of `value`, retried until nothing came in between (an
// interrupt's write, or any exception entry or return, fails the STREX); the
// value already held is not stored again.
[[gnu::always_inline]] inline void AtomicSet(uint32_t* ptr, uint32_t value) {
  do {
    if (__LDREXW(ptr) == value) {
      __CLREX();  // a later STREX must not pair with this LDREX
      return;
    }
  } while (__STREXW(value, ptr) != 0);
}
