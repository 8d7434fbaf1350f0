// The value change dump, parsed back: its structure and what it shows of the PWM.
#include "vcd.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "sim.h"

namespace {

struct Dump {
  std::map<std::string, std::string> ids;                                    // name -> id
  std::map<std::string, std::vector<std::pair<long, std::string>>> changes;  // id -> (ns, value)
  bool ordered = true;
};

Dump parse(const std::string& path) {
  Dump d;
  std::ifstream in(path);
  std::string line;
  long t = -1;
  bool body = false;
  while (std::getline(in, line)) {
    if (!body) {
      std::istringstream words(line);
      std::string kw, type, width, id, name;
      words >> kw;
      if (kw == "$var" && words >> type >> width >> id >> name) d.ids[name] = id;
      if (kw == "$enddefinitions") body = true;
      continue;
    }
    if (line.empty()) continue;
    if (line[0] == '#') {
      const long nt = std::stol(line.substr(1));
      d.ordered = d.ordered && nt >= t;
      t = nt;
    } else if (line[0] == 'b' || line[0] == 'r') {
      const size_t space = line.find(' ');
      d.changes[line.substr(space + 1)].emplace_back(t, line.substr(0, space));
    } else {
      d.changes[line.substr(1)].emplace_back(t, line.substr(0, 1));
    }
  }
  return d;
}

// Share of the time a wire was high over its last `periods` rising edges.
double duty(const std::vector<std::pair<long, std::string>>& ch, int periods) {
  std::vector<long> ups, downs;
  for (const auto& [t, v] : ch) (v == "1" ? ups : downs).push_back(t);
  if (ups.size() < static_cast<size_t>(periods) + 1) return -1;
  const long from = ups[ups.size() - 1 - periods], to = ups.back();
  long high = 0;
  for (long u : ups) {
    if (u < from || u >= to) continue;
    long d = to;
    for (long x : downs)
      if (x > u) {
        d = std::min(d, x);
        break;
      }
    high += d - u;
  }
  return static_cast<double>(high) / static_cast<double>(to - from);
}

TEST(Vcd, DumpParsesBackWithEverySignalAndThePwmDuty) {
  const std::string path = "vcd_test_" + std::to_string(getpid()) + ".vcd";
  sim::Options o;
  o.vcd_file = path;
  o.until_s = 1.5;
  sim::run_batch("e3on\re3pulse 300\r", o);
  const Dump d = parse(path);
  std::remove(path.c_str());
  EXPECT_TRUE(d.ordered);
  for (const char* name : {"pa4", "pa5", "pa6", "pa7", "pb8", "lcd_e", "key_pc10", "tim3_ccr1", "motor_rpm"})
    EXPECT_EQ(d.ids.count(name), 1u) << name;
  // Channel 1 carries a pulse of 300 in a period of 1001 counts; channel 2 stays at the period.
  EXPECT_NEAR(duty(d.changes.at(d.ids.at("pa6")), 20), 300.0 / 1001, 0.005);
  EXPECT_NEAR(duty(d.changes.at(d.ids.at("pa7")), 20), 1000.0 / 1001, 0.005);
  EXPECT_EQ(d.changes.at(d.ids.at("tim3_ccr1")).back().second, "b100101100");  // 300
  EXPECT_FALSE(d.changes.at(d.ids.at("pb8")).empty());                         // the encoder turns
  // PA4 rises and falls around every telemetry line.
  EXPECT_GT(d.changes.at(d.ids.at("pa4")).size(), 200u);
}

TEST(Vcd, SignalListLimitsTheDumpWithNamesInAnyCase) {
  // As datasheets write them, or mixed; a name the dump does not have is refused as given.
  EXPECT_EQ(sim::vcd_signals_problem("PA5,Pb8,LCD_E,Motor_Rpm"), "");
  EXPECT_EQ(sim::vcd_signals_problem("PA5,PB9"), "unknown signal 'PB9'");
  const std::string path = "vcd_test_" + std::to_string(getpid()) + ".vcd";
  sim::Options o;
  o.vcd_file = path;
  o.vcd_signals = "PA5,Motor_RPM";
  o.until_s = 0.2;
  sim::run_batch("", o);
  const Dump d = parse(path);
  std::remove(path.c_str());
  EXPECT_EQ(d.ids.size(), 2u);
  EXPECT_EQ(d.ids.count("pa5"), 1u);
  EXPECT_EQ(d.ids.count("motor_rpm"), 1u);
}

}  // namespace
