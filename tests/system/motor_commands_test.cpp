// The motor commands that need no turning motor, and the RS485 telemetry line.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "console_session.h"
#include "engine.h"

namespace {

std::string info(int pulse, int period, int direction) {
  return "Engine3 setup:\r\npulse: " + std::to_string(pulse) +
         "\r\nfrequency: 10000000\r\nperiod: " + std::to_string(period) +
         "\r\ndirection: " + std::to_string(direction) + "\r\n";
}

std::string calc(int min, int max, int time, int type = 0) {
  return "Engine3 calc: type=" + std::to_string(type) + " min=" + std::to_string(min) +
         " max=" + std::to_string(max) + " time=" + std::to_string(time) + "\n";
}

TEST(MotorCommands, SettersWrapAroundAndComplainWithoutAValue) {
  ConsoleSession s;
  EXPECT_EQ(s.run("e3info"), info(1000, 1000, 0));
  for (const char* setter : {"e3pulse", "e3period", "e3dir", "e3target"})
    EXPECT_EQ(s.run(setter), "It is not enough parameters") << setter;
  EXPECT_EQ(s.run("e3pulse 0x20"), "Engine3 pulse changed.");
  EXPECT_EQ(s.run("e3period 70000"), "Engine3 period changed.");
  EXPECT_EQ(s.run("e3dir 257"), "Engine3 change direction=257.");
  EXPECT_EQ(s.run("e3info"), info(32, 4464, 1));
  EXPECT_EQ(s.run("e3target -2"), "OK.");  // the whole value: a capture request
  EXPECT_EQ(engine3_pid_target, kPidCapture);

  EXPECT_EQ(s.run("e3off now"), "Engine3 turn off.");
  EXPECT_TRUE(s.board().gpioa.level(5));  // the stage's enable is active low
  EXPECT_EQ(s.board().tim3.oc_mode(2), 0x5);
  EXPECT_EQ(s.run("e3on"), "Engine3 turn on.");
  EXPECT_TRUE(s.board().tim3.counting());
  EXPECT_EQ(s.board().tim3.oc_mode(1), 0x6);
  EXPECT_EQ(s.run("e3info"), info(32, 4464, 1));
}

// A null period would block TIM3 for good (its interrupt applies every later
// setting): it is refused, however it is written, and the drive stays in hand.
TEST(MotorCommands, ANullPeriodIsRefusedAndTheMotorTimerRunsOn) {
  ConsoleSession s;
  constexpr int kTim3 = board::ExceptionModel::kIrq0 + 29;
  EXPECT_EQ(s.run("e3on"), "Engine3 turn on.");
  for (const char* word : {"0", "65536", "zero"})
    EXPECT_EQ(s.run(std::string("e3period ") + word), std::string("Wrong parameter ") + word) << word;
  EXPECT_EQ(s.run("e3info"), info(1000, 1000, 0));
  EXPECT_EQ(s.board().tim3.autoreload(), 1000);
  EXPECT_EQ(s.run("e3period 500"), "Engine3 period changed.");
  const uint64_t runs = s.board().cpu.exceptions_taken(kTim3);
  EXPECT_EQ(s.run("e3info"), info(1000, 500, 0));
  EXPECT_EQ(s.board().tim3.autoreload(), 500);
  EXPECT_FALSE(s.board().tim3.blocked());
  // Two compare interrupts a PWM period of about 49 us, over the third of a
  // second the console takes to read e3info.
  EXPECT_GT(s.board().cpu.exceptions_taken(kTim3), runs + 1000);
}

TEST(MotorCommands, PidWordsInAnyOrderOverTheDefaults) {
  ConsoleSession s;
  auto koef = [] {
    const uint16_t* k = engine3_addr_get<uint16_t>(&engine3_pointer_to_pid);
    return std::vector<uint16_t>(k, k + 3);
  };
  EXPECT_EQ(s.run("e3pid"), "");
  EXPECT_EQ(engine3_pid_target, kPidCapture);
  EXPECT_EQ(koef(), (std::vector<uint16_t>{37, 20, 8}));
  EXPECT_EQ(s.run("e3pid -p=50 -f=0 500 600 -d=70000"), "");  // the later target wins
  EXPECT_EQ(engine3_pid_target, 600u);
  EXPECT_EQ(koef(), (std::vector<uint16_t>{50, 20, 4464}));
  EXPECT_EQ(s.run("e3pid -f=0 40000"), "");  // arrives as a negative 16-bit target
  EXPECT_EQ(engine3_pid_target, static_cast<uint32_t>(40000 - 65536));
  EXPECT_EQ(s.run("e3pid -f=0 -x=5"), "");  // a mistyped flag is the target
  EXPECT_EQ(engine3_pid_target, 0u);
  EXPECT_EQ(s.run("e3pid -f=2"), "");
  EXPECT_EQ(engine3_pid_target, kPidOff);
}

TEST(MotorCommands, AccelerationWordsMessagesAndFailure) {
  ConsoleSession s;
  EXPECT_EQ(s.run("e3acc"), calc(1000, 400, 10000) + "OK.\r\n");
  EXPECT_EQ(engine3_acceleration_index, 1350u);
  EXPECT_EQ(s.run("e3acc -i=400 -o=1000 5000"), calc(400, 1000, 5000) + "OK.\r\n");
  EXPECT_EQ(engine3_addr_get<uint16_t>(&engine3_pointer_to_acceleration)[0], 400);
  EXPECT_EQ(s.run("e3acc -t=257 64"), calc(1000, 400, 64, 1) + "OK.\r\n");  // reported, then ignored
  EXPECT_EQ(engine3_addr_get<uint16_t>(&engine3_pointer_to_acceleration)[0], 400);
  EXPECT_EQ(s.run("e3acc 4000000"), calc(1000, 400, 4000000) + "Error.\r\n");  // beyond the heap
  EXPECT_EQ(engine3_acceleration_index, 0u);
  EXPECT_EQ(s.run("e3acc -x=3 -o=0 -i=900"), calc(900, 0, 0) + "OK.\r\n");  // a stray flag is the time
  EXPECT_EQ(engine3_acceleration_index, 2u);
}

TEST(Rs485, ALineAboutEveryTenMillisecondsWhileTheDriverIsEnabled) {
  ConsoleSession s;
  board::Board& b = s.board();
  std::string line;
  bool driver_off = false;
  int driver_on = 0;
  b.gpioa.add_listener([&](int pin, bool level) { driver_on += pin == 4 && level; });
  b.usart2.set_tx_sink([&](uint8_t byte) {
    line.push_back(static_cast<char>(byte));
    driver_off = driver_off || !b.gpioa.level(4);
  });
  s.machine().run_until(s.machine().now() + sim::seconds(0.1));
  EXPECT_EQ(line.substr(0, 22), "0000,1000\n\r0000,1000\n\r");
  EXPECT_TRUE(line.size() >= 11 * 9 && line.size() <= 11 * 11) << line.size();
  EXPECT_FALSE(driver_off);
  EXPECT_GE(driver_on, static_cast<int>(line.size() / 11));  // released between lines
  EXPECT_EQ(s.run("e3pulse 12345"), "Engine3 pulse changed.");
  line.clear();
  s.machine().run_until(s.machine().now() + sim::seconds(0.03));
  EXPECT_NE(line.find("\n\r0000,12345\n\r"), std::string::npos) << line;  // never cut to four digits
}

}  // namespace
