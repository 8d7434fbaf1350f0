// Events run in order of time, then priority, then insertion, and only when due.
#include <gtest/gtest.h>

#include <string>

#include "event_queue.h"

namespace {

std::string ran;
void record(void* ctx, uint64_t token) {
  ran += static_cast<const char*>(ctx);
  ran += std::to_string(token);
}

TEST(EventQueue, TimeThenPriorityThenInsertion) {
  ran.clear();
  board::EventQueue q;
  char a[] = "a", b[] = "b", c[] = "c", d[] = "d";
  q.schedule(200, 0, record, a, 1);
  q.schedule(100, 5, record, b, 2);
  q.schedule(100, 1, record, c, 3);
  q.schedule(100, 5, record, d, 4);
  EXPECT_EQ(q.next_time(), 100u);
  q.advance_to(99);
  EXPECT_EQ(q.run_due(), 0);
  q.advance_to(150);
  EXPECT_EQ(q.run_due(), 3);
  EXPECT_EQ(ran, "c3b2d4");
  q.advance_to(100);  // time never runs backwards
  EXPECT_EQ(q.now(), 150u);
  q.schedule(10, 0, record, a, 5);  // in the past: due at once
  q.advance_to(300);
  q.run_due();
  EXPECT_EQ(ran, "c3b2d4a5a1");
  EXPECT_TRUE(q.empty());
  EXPECT_EQ(q.events_run(), 5u);
}

TEST(EventQueue, PrioritiesAcrossTheirRangeAndManyEventsAtOneCycle) {
  ran.clear();
  board::EventQueue q;
  char n[] = "n", z[] = "z", p[] = "p";
  q.schedule(50, 1000, record, p, 0);
  q.schedule(50, 0, record, z, 0);
  q.schedule(50, -32768, record, n, 0);
  q.schedule(50, 32767, record, p, 1);
  q.schedule(50, -1, record, n, 1);
  // Enough at one cycle to reorder a heap: each priority keeps its insertion order.
  for (int i = 0; i < 40; ++i) q.schedule(60, i % 2 ? 7 : 3, record, i % 2 ? p : z, static_cast<uint64_t>(i));
  q.advance_to(60);
  EXPECT_EQ(q.run_due(), 45);
  std::string want = "n0n1z0p0p1";
  // Appended piece by piece: GCC 12 at -O3 warns wrongly of overlap in "z" + text.
  for (int i = 0; i < 40; i += 2) want.append("z").append(std::to_string(i));
  for (int i = 1; i < 40; i += 2) want.append("p").append(std::to_string(i));
  EXPECT_EQ(ran, want);
}

}  // namespace
