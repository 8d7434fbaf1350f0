// tools/plot-telemetry as a user runs it: figures of synthetic responses whose
// figures are known by hand, a trace turned into the firmware's interval, the
// PNG, and the simulator's own recordings read both ways.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "command.h"

namespace {

namespace fs = std::filesystem;

struct Output {
  std::string out;
  int status;
};

Output run(const std::string& args) {
  const CommandResult r = run_command(std::string(TARVIK_PLOT_TELEMETRY_PATH) + " " + args + " 2>&1");
  return Output{r.out, r.status};
}

// A folder of its own for each test (CTest runs them side by side), removed after.
struct Scratch {
  fs::path dir;
  Scratch() {
    const auto* info = testing::UnitTest::GetInstance()->current_test_info();
    dir = fs::temp_directory_path() /
          ("plot-telemetry-" + std::string(info->name()) + "-" + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
  }
  ~Scratch() {
    std::error_code ignored;
    fs::remove_all(dir, ignored);
  }
};

// The first number after "NAME:" on the line that starts with it; NAN if none.
double figure(const std::string& out, const std::string& name) {
  const std::string key = name + ":";
  size_t pos = out.compare(0, key.size(), key) == 0 ? 0 : out.find("\n" + key);
  if (pos == std::string::npos) return NAN;
  const size_t digit = out.find_first_of("+-0123456789", pos + key.size());
  return digit == std::string::npos ? NAN : std::strtod(out.c_str() + digit, nullptr);
}

// The figures print times to the ms and percentages to 0.01.
constexpr double kMs = 0.0005;

// Lines as the firmware sends them: "%.4d,%.4d\n\r".
void write_rs485(const fs::path& p, const std::vector<std::pair<int, int>>& lines) {
  std::ofstream f(p, std::ios::binary);
  char buf[32];
  for (const auto& [interval, pulse] : lines) {
    std::snprintf(buf, sizeof buf, "%.4d,%.4d\n\r", interval, pulse);
    f << buf;
  }
}

TEST(PlotTelemetry, FiguresOfAPiecewiseLinearStepUpFromAnRs485Capture) {
  const Scratch scratch;
  const fs::path& dir = scratch.dir;
  // Lines 10 ms apart. Interval 200 at pulse 600 until the pulse changes at line 100
  // (1.00 s); then 200 -> 600 by 2 a line (overshoot 100 of a 300 step), 600 -> 510
  // by 1 a line to line 390, and 510 to the end (20 s).
  std::vector<std::pair<int, int>> lines;
  for (int i = 0; i < 2000; ++i) {
    const int y = i <= 100 ? 200 : i <= 300 ? 200 + 2 * (i - 100) : i <= 390 ? 600 - (i - 300) : 510;
    lines.emplace_back(y, i < 100 ? 600 : 400);
  }
  write_rs485(dir / "rs485.txt", lines);
  const Output o = run("--setpoint 500 --figures " + (dir / "figures.txt").string() + " -o " +
                       (dir / "r.png").string() + " " + (dir / "rs485.txt").string());
  ASSERT_EQ(o.status, 0) << o.out;
  EXPECT_NEAR(figure(o.out, "step"), 1.0, kMs) << o.out;  // found where the pulse changes
  EXPECT_NE(o.out.find("from 200\n"), std::string::npos) << o.out;
  // 10 % of the step is 230 (line 115), 90 % is 470 (line 235).
  EXPECT_NEAR(figure(o.out, "rise time"), 1.2, kMs) << o.out;
  EXPECT_NE(o.out.find("at 1.150 s and 2.350 s"), std::string::npos) << o.out;
  EXPECT_NEAR(figure(o.out, "overshoot"), 100.0 / 3.0, 0.005) << o.out;
  // The band is 475 to 525; 526 at line 374 is the last sample outside, 525 the
  // next: the curve leaves the band for good at 3.75 s.
  EXPECT_NEAR(figure(o.out, "settling time"), 2.75, kMs) << o.out;
  EXPECT_NEAR(figure(o.out, "steady-state error"), 10.0, 0.005) << o.out;
  EXPECT_NE(o.out.find("+2.00 % of the set-point"), std::string::npos) << o.out;
  // The figures file holds what was printed, without the plot's line.
  EXPECT_EQ(read_file(dir / "figures.txt") + "plot: " + (dir / "r.png").string() + "\n", o.out);
}

TEST(PlotTelemetry, FiguresOfAStepDownWithGivenStepTimeBandTailAndLineTiming) {
  const Scratch scratch;
  const fs::path& dir = scratch.dir;
  // Lines 20 ms apart from 0.5 s, the pulse never changing. Interval 800 to line 50
  // (1.5 s), down by 5 a line to 350 at line 140 (3.3 s), up by 2 a line to 408 at
  // line 169, then 408 to line 400 (8.5 s). The levels fall between samples.
  std::vector<std::pair<int, int>> lines;
  for (int n = 0; n <= 400; ++n) {
    const int y = n <= 50 ? 800 : n <= 140 ? 800 - 5 * (n - 50) : n <= 169 ? 350 + 2 * (n - 140) : 408;
    lines.emplace_back(y, 700);
  }
  write_rs485(dir / "down.txt", lines);
  const std::string input = (dir / "down.txt").string();
  // Without a pulse change there is no step to find.
  const Output none = run("--setpoint 410 --period 0.02 --start 0.5 " + input);
  EXPECT_EQ(none.status, 1);
  EXPECT_NE(none.out.find("--step-at"), std::string::npos) << none.out;

  const Output o = run("--setpoint 410 --step-at 1.5 --band 2 --tail 2 --period 0.02 --start 0.5 " + input);
  ASSERT_EQ(o.status, 0) << o.out;
  EXPECT_NEAR(figure(o.out, "step"), 1.5, kMs) << o.out;
  EXPECT_NE(o.out.find("from 800\n"), std::string::npos) << o.out;
  // The step is -390. 10 % is 761, between 765 (line 57, 1.64 s) and 760: 1.656 s.
  // 90 % is 449, between 450 (line 120, 2.90 s) and 445: 2.904 s.
  EXPECT_NEAR(figure(o.out, "rise time"), 1.248, kMs) << o.out;
  EXPECT_NE(o.out.find("at 1.656 s and 2.904 s"), std::string::npos) << o.out;
  // 350 lies 60 beyond 410 on the far side from 800: 15.38 % of the step.
  EXPECT_NEAR(figure(o.out, "overshoot"), 6000.0 / 390.0, 0.005) << o.out;
  EXPECT_NE(o.out.find("peak 350 at 3.300 s"), std::string::npos) << o.out;
  // The 2 % band is 401.8 to 418.2: 400 at line 165 (3.80 s), 402 at line 166, so
  // the curve enters it for good at 3.818 s.
  EXPECT_NEAR(figure(o.out, "settling time"), 2.318, kMs) << o.out;
  EXPECT_NEAR(figure(o.out, "steady-state error"), -2.0, 0.005) << o.out;
  EXPECT_NE(o.out.find("-0.49 % of the set-point; mean 408.00 from 6.500 s to the end"), std::string::npos)
      << o.out;
}

TEST(PlotTelemetry, FiguresNotReachedAreSaid) {
  const Scratch scratch;
  const fs::path& dir = scratch.dir;
  // From 100 up by 1 a line after the step at line 10: 90 % of a step to 500 (460)
  // would need line 370, the record ends at line 300 (at 390), outside 5 % of 500.
  std::vector<std::pair<int, int>> lines;
  for (int i = 0; i <= 300; ++i) lines.emplace_back(i <= 10 ? 100 : 100 + (i - 10), i < 10 ? 1000 : 0);
  write_rs485(dir / "slow.txt", lines);
  const Output o = run("--setpoint 500 " + (dir / "slow.txt").string());
  ASSERT_EQ(o.status, 0) << o.out;
  EXPECT_NE(o.out.find("rise time:          not reached"), std::string::npos) << o.out;
  EXPECT_NE(o.out.find("settling time:      not reached"), std::string::npos) << o.out;
  EXPECT_NEAR(figure(o.out, "overshoot"), 0.0, 0.005) << o.out;
  // Default plot name: the input's with .png.
  EXPECT_TRUE(fs::exists(dir / "slow.png"));
}

// A synthetic trace: TIM4 stood at 0 at cycle 0 and counts every 720 cycles.
struct TraceWriter {
  std::ofstream f;
  explicit TraceWriter(const fs::path& p) : f(p) { f << "cycle,signal,value\n"; }
  void row(uint64_t cycle, const char* signal, long value) { f << cycle << ',' << signal << ',' << value << '\n'; }
};

std::vector<std::vector<double>> read_data(const fs::path& p) {
  std::ifstream f(p);
  std::string line;
  std::getline(f, line);
  EXPECT_EQ(line, "time_s,interval,pulse");
  std::vector<std::vector<double>> rows;
  while (std::getline(f, line)) {
    std::vector<double> r;
    std::stringstream s(line);
    for (std::string cell; std::getline(s, cell, ',');) r.push_back(std::stod(cell));
    rows.push_back(r);
  }
  return rows;
}

TEST(PlotTelemetry, TraceEdgesBecomeTheFirmwaresFilteredIntervalAndComparesThePulse) {
  const Scratch scratch;
  const fs::path& dir = scratch.dir;
  constexpr uint64_t kCount = 720;          // cycles per TIM4 count
  constexpr uint64_t kWrap = 16384 * kCount;  // a TIM4 period
  uint64_t last_edge = 0;
  {
    TraceWriter t(dir / "trace.csv");
    // Edges every 400 counts from 0.2 s (count 20000), every 200 counts from 1 s, none
    // after 1.5 s; the pulse 1000 (no drive), then 300 on channel 1 at 0.5 s, then
    // 250 on channel 2 at 1.2 s; motor.rpm rows every ms to 2.5 s.
    std::vector<std::pair<uint64_t, std::string>> events;
    for (uint64_t c = 14'400'000; c < 72'000'000; c += 400 * kCount) events.emplace_back(c, "edge");
    for (uint64_t c = 72'000'000; c < 108'000'000; c += 200 * kCount) events.emplace_back(c, "edge");
    for (uint64_t c = 0; c <= 180'000'000; c += 72'000) events.emplace_back(c, "rpm");
    std::sort(events.begin(), events.end());
    bool wrote_300 = false, wrote_250 = false;
    t.row(0, "tim3.ccr1", 1000);
    t.row(0, "tim3.ccr2", 1000);
    for (const auto& [c, what] : events) {
      if (!wrote_300 && c >= 36'000'000) {
        t.row(36'000'000, "tim3.ccr1", 300);
        wrote_300 = true;
      }
      if (!wrote_250 && c >= 86'400'000) {
        t.row(86'400'000, "tim3.ccr1", 1000);
        t.row(86'400'000, "tim3.ccr2", 250);
        wrote_250 = true;
      }
      if (what == "edge") {
        t.row(c, "encoder.edge", static_cast<long>((c / kCount) % 16384));
        last_edge = c;
      } else {
        t.row(c, "motor.rpm", 1234);
      }
    }
  }
  const Output o = run("--setpoint 200 --data " + (dir / "data.csv").string() + " -o " +
                       (dir / "trace.png").string() + " " + (dir / "trace.csv").string());
  ASSERT_EQ(o.status, 0) << o.out;
  EXPECT_NEAR(figure(o.out, "step"), 0.5, kMs) << o.out;  // the compare write
  EXPECT_NE(o.out.find("from 400\n"), std::string::npos) << o.out;

  const auto rows = read_data(dir / "data.csv");
  ASSERT_EQ(rows.size(), 2501u);  // every ms from 0 to the last row at 2.5 s
  std::vector<int> distinct;
  for (const auto& r : rows) {
    ASSERT_EQ(r.size(), 3u);
    if (distinct.empty() || distinct.back() != static_cast<int>(r[1])) distinct.push_back(static_cast<int>(r[1]));
  }
  // The ring of 8 starts at zeros: the mean climbs by 400/8 an edge, then each
  // 200-count interval replaces a 400 (down by 25), then standstill reads 0.
  std::vector<int> expected{0};
  for (int k = 1; k <= 8; ++k) expected.push_back(50 * k);
  for (int k = 1; k <= 8; ++k) expected.push_back(400 - 25 * k);
  expected.push_back(0);
  EXPECT_EQ(distinct, expected);
  // 0 comes at the second TIM4 update after the last edge: the first only ends the
  // period in which it fell.
  const uint64_t zero_at = (last_edge / kWrap + 2) * kWrap;
  size_t first_zero = 0;
  for (size_t i = rows.size(); i-- > 0 && rows[i][1] == 0;) first_zero = i;
  EXPECT_EQ(first_zero, static_cast<size_t>((zero_at + 71'999) / 72'000));

  EXPECT_EQ(rows[499][2], 1000);  // min(ccr1, ccr2)
  EXPECT_EQ(rows[500][2], 300);
  EXPECT_EQ(rows[1199][2], 300);
  EXPECT_EQ(rows[1200][2], 250);
  EXPECT_EQ(rows.back()[2], 250);
}

TEST(PlotTelemetry, WritesAPngOfThePlotsSize) {
  const Scratch scratch;
  const fs::path& dir = scratch.dir;
  std::vector<std::pair<int, int>> lines;
  for (int i = 0; i < 500; ++i)
    lines.emplace_back(i < 50 ? 0 : static_cast<int>(500 - 400 * std::exp(-(i - 50) / 60.0)), i < 50 ? 1000 : 400);
  write_rs485(dir / "rs485.txt", lines);
  const fs::path png = dir / "plot.png";
  const Output o = run("--setpoint 500 -o " + png.string() + " " + (dir / "rs485.txt").string());
  ASSERT_EQ(o.status, 0) << o.out;
  const std::string bytes = read_file(png);
  ASSERT_GT(bytes.size(), 24u);
  EXPECT_EQ(bytes.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
  EXPECT_EQ(bytes.substr(12, 4), "IHDR");
  auto be32 = [&](size_t at) {
    return (static_cast<uint32_t>(static_cast<uint8_t>(bytes[at])) << 24) |
           (static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + 1])) << 16) |
           (static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + 2])) << 8) |
           static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + 3]));
  };
  EXPECT_EQ(be32(16), 1200u);
  EXPECT_EQ(be32(20), 760u);
  EXPECT_GT(bytes.size(), 20000u);  // curves, axes and text, not a blank page
}

TEST(PlotTelemetry, NoSamplesIsAnError) {
  const Scratch scratch;
  const fs::path& dir = scratch.dir;
  std::ofstream(dir / "empty.txt").close();
  const Output o = run((dir / "empty.txt").string());
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.out.find("no samples"), std::string::npos) << o.out;
  EXPECT_FALSE(fs::exists(dir / "empty.png"));
}

std::vector<int> changes(const std::vector<std::vector<double>>& rows, size_t column) {
  std::vector<int> v;
  for (const auto& r : rows)
    if (v.empty() || v.back() != static_cast<int>(r[column])) v.push_back(static_cast<int>(r[column]));
  return v;
}

bool in_order_within(const std::vector<int>& part, const std::vector<int>& whole) {
  size_t j = 0;
  for (int v : part) {
    while (j < whole.size() && whole[j] != v) ++j;
    if (j++ == whole.size()) return false;
  }
  return true;
}

TEST(PlotTelemetry, SimulatorsCaptureAndTraceGiveTheSameIntervalAndPulse) {
  const Scratch scratch;
  const fs::path& dir = scratch.dir;
  const std::string cmd = "printf 'e3on\\re3pid -f=0 500\\r' | " TARVIK_SIM_PATH " --batch --until 4 --rs485 " +
                          (dir / "rs485.txt").string() + " --trace " + (dir / "trace.csv").string() + " >/dev/null";
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  ASSERT_EQ(run("--data " + (dir / "rs.csv").string() + " " + (dir / "rs485.txt").string()).status, 0);
  // Finer than the quickest edges, so that no value of the firmware's goes unseen.
  ASSERT_EQ(run("--sample 0.0002 --data " + (dir / "tr.csv").string() + " " + (dir / "trace.csv").string()).status,
            0);
  const auto rs = read_data(dir / "rs.csv");
  const auto tr = read_data(dir / "tr.csv");
  // Every value the firmware sent, in the order sent, is among the trace's values.
  const std::vector<int> rs_interval = changes(rs, 1), tr_interval = changes(tr, 1);
  ASSERT_GT(rs_interval.size(), 30u);  // the spin-up and the regulator's climb
  EXPECT_TRUE(in_order_within(rs_interval, tr_interval));
  const std::vector<int> rs_pulse = changes(rs, 2), tr_pulse = changes(tr, 2);
  ASSERT_GT(rs_pulse.size(), 5u);
  EXPECT_TRUE(in_order_within(rs_pulse, tr_pulse));
  // The trace's time is the simulator's.
  EXPECT_NEAR(tr.back()[0], 4.0, 0.002);
}

}  // namespace
