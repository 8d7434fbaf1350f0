// The arithmetic of the motor interrupts: profile stepping, the PWM compare
// value, encoder intervals, their mean and standstill.
#include "motor_loop.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

// Steps publication `serial` of `table` until it ends; the pulses applied.
std::vector<uint16_t> run_profile(sProfileCursor* c, uint32_t serial, const std::vector<uint16_t>& table) {
  std::vector<uint16_t> pulses;
  uint16_t pulse = 0;
  for (eProfileStep s = eProfileStep::entry; s == eProfileStep::entry && pulses.size() < 10000;) {
    s = engine3_profile_step(c, serial, static_cast<uint32_t>(table.size()), table.data(), &pulse);
    pulses.push_back(pulse);
  }
  return pulses;
}

TEST(ProfileStep, EntriesLastSixtyFourPeriodsAndTheEndingPeriodKeepsTheLastEntry) {
  sProfileCursor c;
  const auto pulses = run_profile(&c, 1, {300, 200, 100});
  ASSERT_EQ(pulses.size(), 193u);
  for (size_t i = 0; i < 192; ++i) EXPECT_EQ(pulses[i], 300 - 100 * (i / 64)) << i;
  EXPECT_EQ(pulses[192], 100);  // not pulse 0, a period of full drive nobody asked for
  EXPECT_EQ(c.last_acc_index, kProfileIdle);
  uint16_t pulse = 0;
  EXPECT_EQ(engine3_profile_step(&c, 1, 0, nullptr, &pulse), eProfileStep::none);
}

TEST(ProfileStep, ANewPublicationStartsAtItsFirstEntry) {
  sProfileCursor c;
  const std::vector<uint16_t> first = {7, 8, 9};
  uint16_t pulse = 0;
  for (int i = 0; i < 100; ++i) engine3_profile_step(&c, 1, 3, first.data(), &pulse);
  // Published while the handler did not run (motor off): same size, new serial.
  const std::vector<uint16_t> second = {50, 60, 70};
  EXPECT_EQ(engine3_profile_step(&c, 2, 3, second.data(), &pulse), eProfileStep::entry);
  EXPECT_EQ(pulse, 50);
  // A position past the end of the table given ends at once, without reading beyond it.
  c.last_acc_index = 5000;
  EXPECT_EQ(engine3_profile_step(&c, 2, 3, second.data(), &pulse), eProfileStep::ended);
  EXPECT_EQ(pulse, 70);
}

TEST(PwmCompare, NeverAboveThePeriod) {
  EXPECT_EQ(engine3_pwm_compare(400, 1000), 400);
  EXPECT_EQ(engine3_pwm_compare(1000, 1000), 1000);
  EXPECT_EQ(engine3_pwm_compare(1001, 1000), 1000);  // still matched by the counter once a period
}

constexpr uint32_t kModulus = 16384;  // TIM4 auto-reload 0x3FFF, plus one

TEST(Encoder, IntervalsWithinAPeriodAndAcrossTheWrap) {
  EXPECT_EQ(encoder3_between(100, 300, kModulus), 200u);
  EXPECT_EQ(encoder3_between(16000, 200, kModulus), 584u);
  EXPECT_EQ(encoder3_between(500, 500, kModulus), kModulus);  // a whole counter period
}

TEST(Encoder, FirstEdgeSeedsThenTheMeanOfTheLastEight) {
  sEncoder3 s;
  uint32_t mean = 0;
  EXPECT_FALSE(encoder3_capture(&s, 100, kModulus, &mean));
  ASSERT_TRUE(encoder3_capture(&s, 300, kModulus, &mean));
  EXPECT_EQ(mean, 25u);  // the ring starts from zeros
  ASSERT_TRUE(encoder3_capture(&s, 600, kModulus, &mean));
  EXPECT_EQ(mean, 62u);
  uint16_t at = 600;
  for (int i = 0; i < 8; ++i) encoder3_capture(&s, at += 1000, kModulus, &mean);
  EXPECT_EQ(mean, 1000u);
  encoder3_capture(&s, at += 200, kModulus, &mean);  // overwrites the oldest
  EXPECT_EQ(mean, 900u);
}

TEST(Encoder, TheMeanFollowsTheRingThroughManyTurns) {
  // The sum is kept as entries come and go: after many turns of the ring it must
  // still be the mean of exactly the last eight intervals.
  sEncoder3 s;
  uint32_t mean = 0;
  uint16_t at = 0;
  encoder3_capture(&s, at, kModulus, &mean);
  std::vector<uint32_t> intervals;
  for (uint32_t i = 0; i < 100; ++i) {
    const uint32_t step = 1 + (i * 7919u) % 16383u;  // wraps the counter now and then
    intervals.push_back(step);
    at = static_cast<uint16_t>((at + step) % kModulus);
    ASSERT_TRUE(encoder3_capture(&s, at, kModulus, &mean));
    uint32_t sum = 0;
    for (size_t k = intervals.size() >= 8 ? intervals.size() - 8 : 0; k < intervals.size(); ++k) sum += intervals[k];
    ASSERT_EQ(mean, sum / 8) << "after " << i + 1 << " intervals";
  }
}

TEST(Encoder, AQuietCounterPeriodIsStandstillButTheRingRemains) {
  sEncoder3 s;
  uint32_t mean = 0;
  encoder3_capture(&s, 0, kModulus, &mean);
  encoder3_capture(&s, 800, kModulus, &mean);
  EXPECT_FALSE(encoder3_wrap(&s));
  EXPECT_FALSE(encoder3_capture(&s, 3000, kModulus, &mean));  // one edge: reseeds only
  EXPECT_FALSE(encoder3_wrap(&s));
  EXPECT_TRUE(encoder3_wrap(&s));
  EXPECT_FALSE(encoder3_capture(&s, 5000, kModulus, &mean));
  ASSERT_TRUE(encoder3_capture(&s, 5400, kModulus, &mean));
  EXPECT_EQ(mean, (800u + 400) / 8);  // averaged with the entries from before
}

}  // namespace
