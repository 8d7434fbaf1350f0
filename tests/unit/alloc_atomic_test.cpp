// The firmware's allocation functions on the kernel heap, and the atomic operations.
#include <gtest/gtest.h>

#include <cstring>

#include "FreeRTOS.h"
#include "atomic.h"
#include "board.h"

// The firmware's own malloc family, renamed in the host build so that it serves
// the firmware alone.
extern "C" {
void* tarvik_malloc(size_t);
void* tarvik_calloc(size_t, size_t);
void* tarvik_realloc(void*, size_t);
void tarvik_free(void*);
char* tarvik_strdup(const char*);
}

namespace {

TEST(Allocation, DrawsOnTheKernelHeap) {
  const size_t before = xPortGetFreeHeapSize();
  void* p = tarvik_malloc(100);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(xPortGetFreeHeapSize(), before - 112);
  tarvik_free(p);
  EXPECT_EQ(xPortGetFreeHeapSize(), before);
  char* s = tarvik_strdup("sys_st");
  ASSERT_NE(s, nullptr);
  EXPECT_STREQ(s, "sys_st");
  EXPECT_EQ(xPortGetFreeHeapSize(), before - 16);
}

TEST(Allocation, CallocZeroFillsAndRefusesZeroAndOverflow) {
  // Leave garbage behind in a block calloc will reuse.
  void* dirty = tarvik_malloc(64);
  std::memset(dirty, 0x5A, 64);
  tarvik_free(dirty);
  auto* p = static_cast<unsigned char*>(tarvik_calloc(8, 8));
  ASSERT_EQ(p, dirty);
  for (int i = 0; i < 64; ++i) EXPECT_EQ(p[i], 0) << i;
  EXPECT_EQ(tarvik_calloc(0, 8), nullptr);
  EXPECT_EQ(tarvik_calloc(8, 0), nullptr);
  const size_t before = xPortGetFreeHeapSize();
  EXPECT_EQ(tarvik_calloc(0x10000, 0x10001), nullptr);  // product beyond 32 bits
  EXPECT_EQ(xPortGetFreeHeapSize(), before);
}

TEST(Allocation, ReallocCopiesWhatFitsAndKeepsTheOldBlockOnFailure) {
  auto* p = static_cast<char*>(tarvik_malloc(16));
  std::memcpy(p, "0123456789abcdef", 16);
  auto* small = static_cast<char*>(tarvik_realloc(p, 4));
  ASSERT_NE(small, nullptr);
  EXPECT_NE(small, p);  // never in place
  EXPECT_EQ(std::memcmp(small, "0123", 4), 0);
  auto* big = static_cast<char*>(tarvik_realloc(small, 40));
  ASSERT_NE(big, nullptr);
  EXPECT_EQ(std::memcmp(big, "0123", 4), 0);
  const size_t before = xPortGetFreeHeapSize();
  EXPECT_EQ(tarvik_realloc(big, 20000), nullptr);
  EXPECT_EQ(xPortGetFreeHeapSize(), before);
  EXPECT_EQ(std::memcmp(big, "0123", 4), 0);
  tarvik_free(big);
}

TEST(Atomic, FetchAddSetAndNoWriteWhenUnchanged) {
  uint32_t word = 5;
  EXPECT_EQ(AtomicFetchAndAdd(&word, 3), 5u);
  EXPECT_EQ(AtomicAddAndFetch(&word, 0xFFFFFFFFu), 7u);  // adding all ones subtracts one
  EXPECT_EQ(AtomicFetchAndAdd(&word, 0), 7u);
  const auto stores = board::the_board().cpu.exclusive_stores;
  AtomicSet(&word, 1000);
  EXPECT_EQ(word, 1000u);
  EXPECT_EQ(board::the_board().cpu.exclusive_stores, stores + 1);  // one store, no read-then-add
  AtomicSet(&word, 1000);
  EXPECT_EQ(board::the_board().cpu.exclusive_stores, stores + 1);  // the value held: no store at all
}

// A task's AtomicSet against an interrupt writing the same word (e3pulse against
// a profile's step): wherever the interrupt comes in, the word ends with one of
// the two values written, never a mix of them.
TEST(Atomic, SetRacingAnInterruptLeavesOneOfTheValuesWritten) {
  board::Board& b = board::the_board();
  static uint32_t word;
  constexpr int kIrq = 5;  // no model drives it
  b.cpu.set_handler(board::Cpu::kIrq0 + kIrq, [] { word = 300; });
  b.cpu.write(0x100, 1u << kIrq);
  for (board::Cycles delay = 0; delay < 16; ++delay) {
    word = 100;
    b.events.schedule(
        b.now() + delay, 0,
        [](void* cpu, uint64_t) { static_cast<board::Cpu*>(cpu)->set_pending(board::Cpu::kIrq0 + kIrq); },
        &b.cpu, 0);
    AtomicSet(&word, 500);
    b.cpu.busy(32);
    EXPECT_TRUE(word == 500 || word == 300) << "interrupt after " << delay << " cycles: " << word;
  }
  EXPECT_EQ(b.cpu.exceptions_taken(board::Cpu::kIrq0 + kIrq), 16u);
  b.cpu.write(0x180, 1u << kIrq);
}

}  // namespace
