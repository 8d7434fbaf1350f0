// Heap introspection and fault injection, for the allocation routing and tests.
#pragma once
#include <stddef.h>

// Usable bytes of an allocated block (its size without the header).
size_t heap_block_size(const void* block);
// Lets `allocations` more requests succeed, then refuses every one; ~0ul lifts it.
void heap_refuse_after(unsigned long allocations);
// Sizes of the free blocks, smallest first (header included); returns how many there are.
size_t heap_free_blocks(size_t* sizes, size_t max);
