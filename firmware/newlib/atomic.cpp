#include "atomic.h"

#include "core_cm3.h"

uint32_t AtomicFetchAndAdd(uint32_t* ptr, uint32_t value) {
  uint32_t old;
  do {
    old = __LDREXW(ptr);
  } while (__STREXW(old + value, ptr) != 0);
  return old;
}

uint32_t AtomicAddAndFetch(uint32_t* ptr, uint32_t value) { return AtomicFetchAndAdd(ptr, value) + value; }

void AtomicSet(uint32_t* ptr, uint32_t value) {
  const uint32_t current = AtomicFetchAndAdd(ptr, 0);
  if (current != value) AtomicFetchAndAdd(ptr, value - current);
}
