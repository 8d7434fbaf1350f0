// The standard allocation functions draw on the kernel heap, so that the firmware,
// the standard library and the kernel share the one 17408-byte heap.
#include <stdint.h>
#include <string.h>

#include "FreeRTOS.h"
#include "heap_info.h"

extern "C" {

void* malloc(size_t size) { return pvPortMalloc(size); }

void free(void* ptr) { vPortFree(ptr); }

void* calloc(size_t num, size_t size) {
  // A product that does not fit in 32 bits would allocate a short block.
  const uint64_t total = static_cast<uint64_t>(num) * size;
  if (total > UINT32_MAX) return nullptr;
  void* p = pvPortMalloc(static_cast<size_t>(total));
  if (p != nullptr) memset(p, 0, static_cast<size_t>(total));
  return p;
}

// Never in place: a new block, the old contents copied, the old block freed.
void* realloc(void* oldAddr, size_t newSize) {
  void* p = pvPortMalloc(newSize);
  if (p == nullptr) return nullptr;
  if (oldAddr != nullptr) {
    const size_t old_size = heap_block_size(oldAddr);
    memcpy(p, oldAddr, newSize < old_size ? newSize : old_size);
    vPortFree(oldAddr);
  }
  return p;
}

#if defined(__arm__)
struct _reent;
void* _malloc_r(struct _reent*, size_t size) { return malloc(size); }
void _free_r(struct _reent*, void* ptr) { free(ptr); }
void* _calloc_r(struct _reent*, size_t num, size_t size) { return calloc(num, size); }
void* _realloc_r(struct _reent*, void* ptr, size_t size) { return realloc(ptr, size); }
#endif
}
