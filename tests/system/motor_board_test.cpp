// Motor 3 on the simulated board: telemetry, the regulator holding the motor,
// profiles and direction changes as the timer sees them, keys, standstill.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "machine.h"
#include "sim.h"

namespace {

using sim::seconds;

// A board with the console typed into and the RS485 bus and TIM3's compare
// writes recorded.
struct Bench {
  sim::Machine m;
  board::Board& b = m.board();
  sim::LineInput console{b, b.usart1, sim::LineInput::Mode::paced};
  std::string out, rs485;
  std::vector<std::pair<int, uint16_t>> compares;  // (channel, value) in write order
  int driver_enables = 0;

  explicit Bench(const sim::Options& o = {}) : m(o) {
    b.usart1.set_tx_sink([this](uint8_t c) { out.push_back(static_cast<char>(c)); });
    b.rs485.on_byte = [this](uint8_t c) { rs485.push_back(static_cast<char>(c)); };
    b.tim3.add_write_listener([this](uint32_t offset, uint32_t value) {
      if (offset == board::Timer::kCCR1) compares.emplace_back(1, static_cast<uint16_t>(value));
      if (offset == board::Timer::kCCR2) compares.emplace_back(2, static_cast<uint16_t>(value));
    });
    b.gpioa.add_listener([this](int pin, bool level) { driver_enables += pin == 4 && level; });
  }
  // Types a line (the console takes a character every 50 ms), then lets `after` pass.
  void type(const std::string& line, double after = 0.5) {
    console.push(line);
    m.run_while([this] { return !console.idle(); }, seconds(0.01));
    m.run_until(m.now() + seconds(after));
  }
  // The telemetry lines' intervals.
  std::vector<int> intervals() const {
    std::vector<int> v;
    for (size_t pos = 0; (pos = rs485.find("\n\r", pos)) != std::string::npos; pos += 2)
      v.push_back(std::atoi(rs485.c_str() + pos - 9));
    return v;
  }
};

TEST(MotorBoard, TelemetryEveryTenMillisecondsWithTheDriverEnabledAroundEachLine) {
  Bench t;
  t.m.run_until(seconds(1.0));
  const std::string line = "0000,1000\n\r";
  ASSERT_FALSE(t.rs485.empty());
  EXPECT_EQ(t.rs485.size() % line.size(), 0u);
  const size_t lines = t.rs485.size() / line.size();
  for (size_t i = 0; i < lines; ++i) ASSERT_EQ(t.rs485.substr(i * line.size(), line.size()), line) << i;
  EXPECT_GE(lines, 90u);  // a line takes about 1 ms, then the task sleeps 9
  EXPECT_LE(lines, 115u);
  EXPECT_EQ(t.b.rs485.bytes_lost(), 0u);  // PA4 was high for every byte
  EXPECT_GE(static_cast<size_t>(t.driver_enables), lines);
  EXPECT_FALSE(t.b.gpioa.level(4));  // listening between lines
}

TEST(MotorBoard, RegulatorHoldsTheMotorAtItsSetPoint) {
  Bench t;
  t.type("e3on\r");
  t.type("e3pid -f=0 500\r");
  t.m.run_until(seconds(50));
  const std::vector<int> v = t.intervals();
  ASSERT_GT(v.size(), 4500u);
  size_t last_outside = 0;
  for (size_t i = 0; i < v.size(); ++i)
    if (std::abs(v[i] - 500) > 25) last_outside = i;
  // Within 5% for the last 15 s at least (lines come about every 10 ms).
  EXPECT_LT(last_outside, v.size() - 1500) << "last line outside 5%: " << last_outside << " of " << v.size();
  EXPECT_NEAR(v.back(), 500, 5);
}

TEST(MotorBoard, ProfileEntriesLastSixtyFourPeriodsEach) {
  Bench t;
  t.type("e3on\r");
  t.type("e3pulse 500\r");
  t.compares.clear();
  t.type("e3acc -i=1000 -o=0 64\r");
  std::vector<std::pair<uint16_t, int>> runs;  // channel 1 values and how many periods each
  for (const auto& [ch, value] : t.compares) {
    if (ch != 1) continue;
    if (runs.empty() || runs.back().first != value) runs.emplace_back(value, 0);
    ++runs.back().second;
  }
  size_t first = 0;
  while (first < runs.size() && runs[first].first != 1000) ++first;
  ASSERT_LE(first + 11, runs.size());
  for (int k = 0; k < 10; ++k) {
    EXPECT_EQ(runs[first + k].first, 1000 - 100 * k);
    EXPECT_EQ(runs[first + k].second, 64) << "entry " << k;
  }
  // The end applies the last entry and it stays.
  EXPECT_EQ(runs[first + 10].first, 0);
  EXPECT_EQ(runs.size(), first + 11);
}

TEST(MotorBoard, DirectionChangeCostsOnePeriodAtThePeriodOnBothChannels) {
  Bench t;
  t.type("e3on\r");
  t.type("e3pulse 300\r");
  t.compares.clear();
  t.type("e3dir 1\r", 0.2);
  size_t i = 0;
  while (i + 1 < t.compares.size() && !(t.compares[i].first == 1 && t.compares[i].second == 1000 &&
                                         t.compares[i + 1].first == 2 && t.compares[i + 1].second == 1000))
    ++i;
  ASSERT_LT(i + 3, t.compares.size()) << "no period with both channels at the period";
  // The run before carried the PWM on channel 1, the run after on channel 2.
  ASSERT_GE(i, 2u);
  EXPECT_EQ(t.compares[i - 2], std::make_pair(1, uint16_t{300}));
  EXPECT_EQ(t.compares[i + 2], std::make_pair(2, uint16_t{300}));
  EXPECT_EQ(t.compares[i + 3], std::make_pair(1, uint16_t{1000}));
  EXPECT_LT(t.b.motor.drive_voltage(), 0);  // the bridge now drives the other way
}

TEST(MotorBoard, FullDriveSpeedAndStandstillAfterSwitchingOff) {
  Bench t;
  t.type("e3on\r");
  t.type("e3pulse 0\r", 3.0);
  const int fast = t.intervals().back();
  EXPECT_GT(fast, 100);  // a few hundred TIM4 counts at full drive
  EXPECT_LT(fast, 200);
  t.type("e3off\r", 2.0);
  EXPECT_EQ(t.b.motor.rpm(), 0.0);
  EXPECT_EQ(t.intervals().back(), 0);  // a whole TIM4 period without an edge
}

TEST(MotorBoard, KeysCommandReportsTimedPressesOnce) {
  sim::Options o;
  o.keys = "up@1s+800ms,down@2s,start@2.5s,stop@3s";
  const sim::BatchResult r = sim::run_batch("keys\r", o);
  EXPECT_NE(r.console.find("keys\r\nKey UP(1) is pressed.\r\nKey DOWN(2) is pressed.\r\n"
                           "Key START(5) is pressed.\r\nKey STOP(6) is pressed.\r\n\r\nconsole>"),
            std::string::npos)
      << r.console;
}

TEST(MotorBoard, Freq3ShowsTheIntervalEverySecondUntilStopIsHeldAtACheck) {
  sim::Options o;
  // The short press falls between two checks and is missed; the long one is seen.
  o.keys = "stop@3.3s+100ms,stop@4.8s+500ms";
  o.until_s = 6;
  const sim::BatchResult r = sim::run_batch("e3on\re3pulse 0\rfreq3\r", o);
  const size_t first = r.console.find("freq3\r\nFreq3 interval= ");
  ASSERT_NE(first, std::string::npos);
  size_t lines = 0;
  int last = 0;
  for (size_t pos = first; (pos = r.console.find("Freq3 interval= ", pos)) != std::string::npos; ++pos, ++lines)
    last = std::atoi(r.console.c_str() + pos + 16);
  // Typing takes about 1.1 s: lines at 1.1, 2.1, 3.1, 4.1 and 5.1 s, the last check
  // seeing the second press.
  EXPECT_EQ(lines, 5u);
  EXPECT_GT(last, 100);  // the motor at full drive
  EXPECT_LT(last, 200);
  EXPECT_EQ(r.console.substr(r.console.size() - 12), "\r\n\r\nconsole>");
}

TEST(MotorBoard, StopInAlyStartsTheProfileBackTo1000) {
  sim::Options o;
  o.keys = "stop@2s";
  o.until_s = 4;
  const sim::BatchResult r = sim::run_batch("e3on\raly\r", o);
  const size_t calc = r.console.find("Engine3 calc: type=0 min=400 max=1000 time=10000\n");
  ASSERT_NE(calc, std::string::npos);
  EXPECT_NE(r.console.find("OK.\r\n", calc), std::string::npos);
  // Sample lines go on after the profile started, the pulse climbing from 400.
  const size_t last = r.console.rfind("\n\r", r.console.size() - 3);
  const int pulse = std::atoi(r.console.c_str() + last - 4);
  EXPECT_GT(pulse, 400);
  EXPECT_LT(pulse, 1000);
}

}  // namespace
