// Acceleration profile tables, and how a profile is handed to the interrupt.
#include "acceleration.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "FreeRTOS.h"
#include "engine.h"
#include "heap_info.h"

namespace {

constexpr uint16_t kGuard = 0xA5A5;
constexpr size_t kGuardEntries = 8;

// The table of a ramp over `ms` at `period`, computed into exactly the room the
// firmware reserves, followed by guard entries that must survive.
std::vector<uint16_t> profile(int32_t from, int32_t to, uint32_t ms, uint16_t period = 1000) {
  const uint32_t steps = engine3_profile_steps(period, ms);
  const uint32_t room = engine3_profile_room(steps);
  std::vector<uint16_t> table(room + kGuardEntries, kGuard);
  const uint32_t entries = engine3_profile_fill(table.data(), from, to, steps);
  EXPECT_LE(entries, room);
  for (size_t i = room; i < table.size(); ++i)
    EXPECT_EQ(table[i], kGuard) << "written past the room at " << i;
  table.resize(entries);
  return table;
}

std::vector<uint16_t> part(const std::vector<uint16_t>& t, size_t from, size_t n) {
  return {t.begin() + from, t.begin() + from + n};
}

TEST(ProfileSteps, PwmPeriodsOverSixtyFour) {
  EXPECT_EQ(engine3_profile_steps(1000, 10000), 1562u);
  EXPECT_EQ(engine3_profile_steps(0, 10000), 0u);  // no division by zero
  // The product wraps in 32 bits: 429497 x 10000 is 2^32 + 2704.
  EXPECT_EQ(engine3_profile_steps(1, 429497), 2704u >> 6);
}

TEST(ProfileTable, SlowRampHoldsBetweenUnitSteps) {
  const auto down = profile(1000, 400, 10000);
  EXPECT_EQ(down.size(), 1350u);  // reaches 400 before the 1562 steps are used
  EXPECT_EQ(part(down, 0, 12),
            (std::vector<uint16_t>{1000, 1000, 999, 999, 998, 998, 997, 997, 996, 996, 996, 995}));
  EXPECT_EQ(part(down, 1344, 6), (std::vector<uint16_t>{403, 402, 402, 401, 401, 400}));
  const auto up = profile(400, 1000, 10000);
  ASSERT_EQ(up.size(), 1350u);
  for (size_t i = 0; i < up.size(); ++i) EXPECT_EQ(up[i] + down[i], 1400) << i;  // mirror images
}

TEST(ProfileTable, SteepRampTakesExtraStepsAndJumpsToTheEnd) {
  const auto t = profile(1000, 400, 1000);  // 156 steps for 600 units: step 3, remainder 132
  ASSERT_EQ(t.size(), 158u);
  for (size_t i = 1; i + 1 < t.size(); ++i) EXPECT_EQ(t[i - 1] - t[i], 3) << i;
  EXPECT_EQ(t[156], 532);
  EXPECT_EQ(t[157], 400);
}

TEST(ProfileTable, ShortRamps) {
  EXPECT_EQ(profile(1000, 0, 64),  // exact steps, down to 0
            (std::vector<uint16_t>{1000, 900, 800, 700, 600, 500, 400, 300, 200, 100, 0}));
  // 11 steps of 4 with a remainder of 6: fourteen entries, one more than steps + 2.
  EXPECT_EQ(profile(0, 50, 71), (std::vector<uint16_t>{0, 4, 8, 12, 16, 20, 24, 28, 32, 36, 40, 44, 48, 50}));
  EXPECT_EQ(profile(500, 500, 10000), (std::vector<uint16_t>{500, 500, 500}));
  EXPECT_EQ(profile(1000, 400, 6), (std::vector<uint16_t>{1000, 400}));  // no steps at all
}

TEST(Accelerate, PublishesReplacesAndFailsCleanly) {
  engine3_set_period(1000);
  const uint32_t serial = engine3_acceleration_serial;
  ASSERT_EQ(engine3_call_accelerate(ACC_K, 1000, 0, 64), 0);
  EXPECT_EQ(engine3_acceleration_index, 11u);
  EXPECT_EQ(engine3_addr_get<uint16_t>(&engine3_pointer_to_acceleration)[10], 0);
  EXPECT_EQ(engine3_acceleration_serial, serial + 1);

  EXPECT_EQ(engine3_call_accelerate(static_cast<ACC_type>(1), 0, 1000, 10000), 0);
  EXPECT_EQ(engine3_acceleration_index, 11u);  // another type changes nothing

  const size_t free_heap = xPortGetFreeHeapSize();
  for (int i = 0; i < 20; ++i) ASSERT_EQ(engine3_call_accelerate(ACC_K, 1000, 0, 64), 0);
  EXPECT_EQ(xPortGetFreeHeapSize(), free_heap);

  heap_refuse_after(0);
  EXPECT_EQ(engine3_call_accelerate(ACC_K, 1000, 400, 10000), 1);
  heap_refuse_after(~0ul);
  EXPECT_EQ(engine3_acceleration_index, 0u);  // nothing runs
  EXPECT_EQ(engine3_addr_get<uint16_t>(&engine3_pointer_to_acceleration), nullptr);
  EXPECT_GT(xPortGetFreeHeapSize(), free_heap);               // the old table went
  EXPECT_EQ(engine3_call_accelerate(ACC_K, 1000, 0, 64), 0);  // and is not released twice
}

}  // namespace
