// The kernel heap: best fit from a list of free blocks ordered by size; freed
// blocks are never merged. Block headers hold 32-bit offsets so that a block
// costs the same 8 bytes on the host as on the chip.
#include <string.h>

#include "heap_info.h"
#include "task.h"

// The fuzz build shows AddressSanitizer each block's bounds: everything but the
// bytes asked for is poisoned, so a write past a block is caught, not absorbed by
// the padding or the next block's header.
#if TARVIK_HEAP_POISON
#include <sanitizer/asan_interface.h>
#define HEAP_UNCHECKED __attribute__((no_sanitize("address")))
#define HEAP_POISON(p, n) ASAN_POISON_MEMORY_REGION(p, n)
#define HEAP_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION(p, n)
// A block's first byte is poisoned only once it is free (or if it never was one).
#define HEAP_CHECK_LIVE(p) (__asan_address_is_poisoned(p) ? __builtin_trap() : (void)0)
#else
#define HEAP_UNCHECKED
#define HEAP_POISON(p, n) ((void)(p), (void)(n))
#define HEAP_UNPOISON(p, n) ((void)(p), (void)(n))
#define HEAP_CHECK_LIVE(p) ((void)(p))
#endif

namespace {

constexpr size_t kAlignMask = portBYTE_ALIGNMENT - 1;
constexpr size_t kHeapSize = configTOTAL_HEAP_SIZE;
constexpr size_t kAdjustedSize = kHeapSize - portBYTE_ALIGNMENT;
constexpr uint32_t kNone = 0xFFFFFFFFu;

struct BlockLink {
  uint32_t next;  // offset of the next free block, kNone at the end
  uint32_t size;  // bytes, header included
};
constexpr size_t kHeaderSize = (sizeof(BlockLink) + kAlignMask) & ~kAlignMask;
constexpr size_t kMinimumBlock = kHeaderSize * 2;
static_assert(kHeaderSize == 8);

alignas(portBYTE_ALIGNMENT) uint8_t heap[kHeapSize];
uint32_t free_list = kNone;  // offset of the smallest free block
size_t free_bytes = kAdjustedSize;
bool initialised = false;
unsigned long refuse_after = ~0ul;  // allocations still granted before the injected failure

BlockLink* at(uint32_t off) { return reinterpret_cast<BlockLink*>(heap + off); }

HEAP_UNCHECKED void insert_free(uint32_t off) {
  const uint32_t size = at(off)->size;
  uint32_t* link = &free_list;
  while (*link != kNone && at(*link)->size < size) link = &at(*link)->next;
  at(off)->next = *link;
  *link = off;
}

HEAP_UNCHECKED void initialise() {
  HEAP_POISON(heap, kHeapSize);
  free_list = 0;
  at(0)->size = kAdjustedSize;
  at(0)->next = kNone;
  free_bytes = kAdjustedSize;
  initialised = true;
}

HEAP_UNCHECKED void* allocate(size_t wanted) {
  if (!initialised) initialise();
  if (wanted == 0) return nullptr;
  const size_t asked = wanted;
  wanted += kHeaderSize;
  if (wanted & kAlignMask) wanted += portBYTE_ALIGNMENT - (wanted & kAlignMask);
  if (wanted >= kAdjustedSize) return nullptr;
  if (refuse_after == 0) return nullptr;
  if (refuse_after != ~0ul) --refuse_after;

  uint32_t* link = &free_list;
  while (*link != kNone && at(*link)->size < wanted) link = &at(*link)->next;
  if (*link == kNone) return nullptr;
  const uint32_t off = *link;
  *link = at(off)->next;
  if (at(off)->size - wanted > kMinimumBlock) {
    const uint32_t rest = off + static_cast<uint32_t>(wanted);
    at(rest)->size = at(off)->size - static_cast<uint32_t>(wanted);
    at(off)->size = static_cast<uint32_t>(wanted);
    insert_free(rest);
  }
  free_bytes -= at(off)->size;
  HEAP_UNPOISON(heap + off + kHeaderSize, asked);
  return heap + off + kHeaderSize;
}

}  // namespace

void* pvPortMalloc(size_t xWantedSize) {
  vTaskSuspendAll();
  void* p = allocate(xWantedSize);
  (void)xTaskResumeAll();
  return p;
}

HEAP_UNCHECKED void vPortFree(void* pv) {
  if (pv == nullptr) return;
  const auto off = static_cast<uint32_t>(static_cast<uint8_t*>(pv) - heap - kHeaderSize);
  HEAP_CHECK_LIVE(pv);
  HEAP_POISON(pv, at(off)->size - kHeaderSize);
  vTaskSuspendAll();
  free_bytes += at(off)->size;
  insert_free(off);
  (void)xTaskResumeAll();
}

size_t xPortGetFreeHeapSize(void) { return initialised ? free_bytes : kAdjustedSize; }

HEAP_UNCHECKED size_t heap_block_size(const void* pv) {
  return at(static_cast<uint32_t>(static_cast<const uint8_t*>(pv) - heap - kHeaderSize))->size - kHeaderSize;
}

void heap_refuse_after(unsigned long allocations) { refuse_after = allocations; }

HEAP_UNCHECKED size_t heap_free_blocks(size_t* sizes, size_t max) {
  size_t n = 0;
  for (uint32_t off = initialised ? free_list : kNone; off != kNone; off = at(off)->next) {
    if (n < max) sizes[n] = at(off)->size;
    ++n;
  }
  return n;
}
