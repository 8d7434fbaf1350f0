// Indivisible operations on 32-bit words shared by tasks and interrupts.
#pragma once
#include <stdint.h>

// Adds `value` and returns the word as it was; with 0 it is the atomic read.
uint32_t AtomicFetchAndAdd(uint32_t* ptr, uint32_t value);
// Adds `value` and returns the new word.
uint32_t AtomicAddAndFetch(uint32_t* ptr, uint32_t value);
// Two indivisible steps: a read, then (only if different) an add of the difference.
void AtomicSet(uint32_t* ptr, uint32_t value);
