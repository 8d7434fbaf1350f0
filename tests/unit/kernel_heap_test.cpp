// The kernel heap: best fit from a size-ordered free list, no merging.
#include <gtest/gtest.h>

#include <vector>

#include "FreeRTOS.h"
#include "heap_info.h"

namespace {

constexpr size_t kHeader = 8;
constexpr size_t kUsable = configTOTAL_HEAP_SIZE - portBYTE_ALIGNMENT;

std::vector<size_t> free_blocks() {
  size_t sizes[64];
  const size_t n = heap_free_blocks(sizes, 64);
  return std::vector<size_t>(sizes, sizes + (n < 64 ? n : 64));
}

TEST(KernelHeap, SizesAreRoundedToEightWithAHeader) {
  EXPECT_EQ(xPortGetFreeHeapSize(), kUsable);
  EXPECT_EQ(pvPortMalloc(0), nullptr);
  EXPECT_EQ(xPortGetFreeHeapSize(), kUsable);
  void* a = pvPortMalloc(1);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(a) % 8, 0u);
  EXPECT_EQ(xPortGetFreeHeapSize(), kUsable - 16);
  EXPECT_EQ(heap_block_size(a), 8u);
  void* b = pvPortMalloc(9);
  EXPECT_EQ(xPortGetFreeHeapSize(), kUsable - 16 - 24);
  EXPECT_EQ(static_cast<char*>(b) - static_cast<char*>(a), 16);
}

TEST(KernelHeap, BestFitTakesTheSmallestBlockThatFits) {
  void* a = pvPortMalloc(24);  // 32-byte block
  void* gap1 = pvPortMalloc(8);
  void* c = pvPortMalloc(56);  // 64-byte block
  void* gap2 = pvPortMalloc(8);
  ASSERT_TRUE(a && gap1 && c && gap2);
  vPortFree(c);
  vPortFree(a);
  EXPECT_EQ(free_blocks().front(), 32u);
  // 40 bytes need 48: the 64-byte block fits best; the rest (16) is too small to split off.
  EXPECT_EQ(pvPortMalloc(40), c);
  EXPECT_EQ(pvPortMalloc(20), a);
}

TEST(KernelHeap, FreedNeighboursAreNotMerged) {
  std::vector<void*> blocks;
  for (void* p; (p = pvPortMalloc(1000 - kHeader)) != nullptr;) blocks.push_back(p);
  ASSERT_GE(blocks.size(), 10u);
  vPortFree(blocks[3]);
  vPortFree(blocks[4]);  // adjacent to the one before
  const size_t free_before = xPortGetFreeHeapSize();
  const auto list_before = free_blocks();
  EXPECT_EQ(pvPortMalloc(1500), nullptr);  // two 1000-byte blocks side by side do not make one
  EXPECT_EQ(xPortGetFreeHeapSize(), free_before);
  EXPECT_EQ(free_blocks(), list_before);  // a refused request leaves the heap as it was
  // Among blocks of one size the one freed last is found first.
  EXPECT_EQ(pvPortMalloc(1000 - kHeader), blocks[4]);
}

TEST(KernelHeap, RequestsThatCannotBeMetGiveNull) {
  EXPECT_EQ(pvPortMalloc(kUsable), nullptr);
  EXPECT_EQ(pvPortMalloc(kUsable - kHeader), nullptr);  // the whole heap can never go in one block
  EXPECT_NE(pvPortMalloc(kUsable - 2 * kHeader), nullptr);
  EXPECT_EQ(xPortGetFreeHeapSize(), 0u);
  EXPECT_EQ(pvPortMalloc(1), nullptr);
}

TEST(KernelHeap, InjectedRefusalLeavesTheHeapIntact) {
  heap_refuse_after(1);
  EXPECT_NE(pvPortMalloc(10), nullptr);
  const size_t free_before = xPortGetFreeHeapSize();
  EXPECT_EQ(pvPortMalloc(10), nullptr);
  EXPECT_EQ(xPortGetFreeHeapSize(), free_before);
  heap_refuse_after(~0ul);
  EXPECT_NE(pvPortMalloc(10), nullptr);
}

}  // namespace
