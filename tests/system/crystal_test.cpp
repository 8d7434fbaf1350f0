// The board's crystal as the clock tree sees it: started in time, late, or never.
// Without it the firmware falls back to the internal 8 MHz oscillator with its
// tick and motor timers set up for 72 MHz: everything nine times slow but the
// console, whose divisor comes from the real bus clock.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "command.h"

namespace {

struct Outcome {
  std::string console;
  long lines = 0;  // RS485 telemetry lines
};

Outcome run(const std::string& options, double seconds) {
  const std::string rs485 = ::testing::TempDir() + "crystal.rs485." + std::to_string(getpid());
  const CommandResult r =
      run_command("printf 'e3info\\r' | " TARVIK_SIM_PATH " --batch --until " + std::to_string(seconds) +
                  " --rs485 " + rs485 + " " + options + " 2>&1");
  EXPECT_EQ(r.status, 0) << options;
  const std::string sent = read_file(rs485);
  std::remove(rs485.c_str());
  return Outcome{r.out, static_cast<long>(std::count(sent.begin(), sent.end(), '\r'))};
}

TEST(Crystal, ATypicalOrSlightlySlowCrystalRunsTheUnitAtItsRates) {
  // A line every 9 ms: some 330 in 3 s.
  for (const char* options : {"", "--board hse_startup=3ms", "--fault crystal=slow:5ms"}) {
    const Outcome r = run(options, 3);
    EXPECT_GT(r.lines, 320) << options;
    EXPECT_LT(r.lines, 340) << options;
    EXPECT_NE(r.console.find("Engine3 setup:"), std::string::npos) << options;
  }
}

TEST(Crystal, NoCrystalOrOneTooSlowForTheWaitLeavesTheUnitNineTimesSlowButTheConsoleRight) {
  const Outcome good = run("", 8);
  for (const char* options : {"--fault crystal=absent", "--fault crystal=slow:300ms"}) {
    const Outcome r = run(options, 3);
    // A line every 81 ms: 37 in 3 s.
    EXPECT_GE(r.lines, 34) << options;
    EXPECT_LE(r.lines, 38) << options;
    // The console polls nine times slower, yet every byte comes at 115200 as it should.
    EXPECT_EQ(run(options, 8).console, good.console) << options;
  }
}

TEST(Crystal, BadBoardParametersAreRefused) {
  const CommandResult r = run_command(TARVIK_SIM_PATH " --board hse=2ms </dev/null 2>&1");
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "tarvik-sim: --board: bad parameter 'hse=2ms' (hse_startup=TIME, e.g. hse_startup=5ms)\n");
  EXPECT_EQ(run_command(TARVIK_SIM_PATH " --fault crystal=late </dev/null 2>&1").status, 2);
}

}  // namespace
