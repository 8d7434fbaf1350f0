// The board's reset line pulled while the motor runs: the firmware starts again
// exactly as at power-on, the backup registers keep what was written, the motor
// is not driven until a command says so, and commands work as before.
#include <gtest/gtest.h>

#include <string>

#include "machine.h"
#include "sim.h"

namespace {

using sim::seconds;

constexpr uint32_t kFloatingInput = 0x4;

struct Unit {
  sim::Machine m;
  board::Board& b = m.board();
  sim::LineInput console{b, b.usart1, sim::LineInput::Mode::paced};
  std::string out;

  explicit Unit(const sim::Options& o = {}) : m(o) {
    b.usart1.set_tx_sink([this](uint8_t c) { out.push_back(static_cast<char>(c)); });
  }
  // Runs until the console shows its prompt after everything typed; what came out.
  std::string to_prompt() {
    const sim::Cycles limit = m.now() + seconds(10);
    m.run_while([this] { return !(out.ends_with("console>") && console.idle()); }, seconds(0.01), limit);
    EXPECT_LT(m.now(), limit) << "no prompt: " << out;
    std::string text = out;
    out.clear();
    return text;
  }
  std::string command(const std::string& line) {
    console.push(line + "\r");
    return to_prompt();
  }
  // The instant of the reset: nothing reaches the bridge, its PWM pins are
  // floating inputs and the motor timer stands in its reset state.
  void expect_reset_state() {
    EXPECT_EQ(b.motor.drive_voltage(), 0.0);
    EXPECT_EQ(b.gpioa.mode(6), kFloatingInput);
    EXPECT_EQ(b.gpioa.mode(7), kFloatingInput);
    EXPECT_FALSE(b.tim3.counting());
    for (uint32_t reg : {board::Timer::kCR1, board::Timer::kCCMR1, board::Timer::kCCER, board::Timer::kCCR1,
                         board::Timer::kCCR2, board::Timer::kARR, board::Timer::kDIER})
      EXPECT_EQ(b.tim3.read(reg), 0u) << "TIM3 offset " << reg;
  }
  // The power stage, its pins and the motor timer as the start-up leaves them.
  std::string drive_state() {
    std::string s = "pa5=" + std::to_string(b.gpioa.level(5)) +
                    " pa6 mode=" + std::to_string(b.gpioa.mode(6)) +
                    " pa7 mode=" + std::to_string(b.gpioa.mode(7));
    for (uint32_t reg : {board::Timer::kCR1, board::Timer::kCCMR1, board::Timer::kCCER, board::Timer::kCCR1,
                         board::Timer::kCCR2, board::Timer::kARR, board::Timer::kPSC})
      s += " tim3[" + std::to_string(reg) + "]=" + std::to_string(b.tim3.read(reg));
    return s;
  }
  void expect_driven(const char* when) {
    SCOPED_TRACE(when);
    EXPECT_TRUE(b.tim3.counting());
    EXPECT_NE(b.motor.drive_voltage(), 0.0);
    EXPECT_GT(b.motor.rpm(), 100.0);
  }
};

// What a fresh board prints up to its first prompt, and the state commands
// report before anything was typed.
struct PowerOn {
  std::string banner, tasks, engine, drive;
};

// The commands whose answers show the firmware's memory as at power-on: the
// task list with each stack's use, and the motor settings the commands change.
PowerOn look(Unit& u, const std::string& banner) {
  PowerOn p;
  p.banner = banner;
  p.drive = u.drive_state();
  p.tasks = u.command("listt");
  p.engine = u.command("e3info");
  return p;
}

TEST(Reset, InTheMiddleOfARampRestartsCleanlyWithTheBackupKept) {
  sim::Options o;
  o.reset_at_s = {6.0};
  Unit u(o);
  const PowerOn fresh = look(u, u.to_prompt());
  ASSERT_NE(fresh.banner.find("Start programm."), std::string::npos);

  u.command("backup_set 3 1234");
  u.command("backup_set 1 7");
  const std::string stored = u.command("backup_get 3");
  ASSERT_NE(stored.find("1234"), std::string::npos) << stored;
  u.command("e3on");
  u.command("e3acc 0 4000");
  ASSERT_LT(u.m.now() + seconds(0.5), seconds(6.0)) << "the ramp must still run at the reset";
  u.m.run_until(seconds(6.0) - 1);
  u.expect_driven("during the ramp");
  u.out.clear();

  u.m.run_until(seconds(6.0));
  EXPECT_EQ(u.b.resets(), 1u);
  u.expect_reset_state();
  const double rpm_at_reset = u.b.motor.rpm();
  EXPECT_GT(rpm_at_reset, 100.0);  // the rotor coasts on: nobody resets it

  const PowerOn again = look(u, u.to_prompt());
  EXPECT_EQ(again.banner, fresh.banner);
  EXPECT_EQ(again.tasks, fresh.tasks);
  EXPECT_EQ(again.engine, fresh.engine);
  EXPECT_EQ(u.command("backup_get 3"), stored);
  EXPECT_EQ(u.b.bkp.data(4), 1234u);
  EXPECT_EQ(again.drive, fresh.drive);
  u.m.run_until(u.m.now() + seconds(1));
  EXPECT_EQ(u.b.motor.drive_voltage(), 0.0);  // a second later, still nobody drives it
  EXPECT_LT(u.b.motor.rpm(), rpm_at_reset);

  u.command("e3on");
  u.command("e3acc 0 1000");
  u.m.run_until(u.m.now() + seconds(1.5));
  u.expect_driven("after the ramp asked for again");
}

TEST(Reset, InTheMiddleOfAPidRunAndAgainBeforeTheBannerIsOut) {
  Unit u;
  const PowerOn fresh = look(u, u.to_prompt());
  u.command("backup_set 2 4321");
  const std::string stored = u.command("backup_get 2");
  u.command("e3on");
  u.command("e3pid -f=0 500");
  u.m.run_until(u.m.now() + seconds(3));
  u.expect_driven("under the regulator");
  u.out.clear();

  u.m.reset();
  u.expect_reset_state();
  // Pulled again while the firmware is still starting: it starts once more.
  u.m.run_until(u.m.now() + seconds(0.001));
  const std::string cut_short = u.out;
  u.out.clear();
  u.m.reset();
  EXPECT_EQ(u.b.resets(), 2u);
  EXPECT_LT(cut_short.size(), fresh.banner.size());
  EXPECT_EQ(fresh.banner.compare(0, cut_short.size(), cut_short), 0) << cut_short;

  const PowerOn again = look(u, u.to_prompt());
  EXPECT_EQ(again.banner, fresh.banner);
  EXPECT_EQ(again.tasks, fresh.tasks);
  EXPECT_EQ(again.engine, fresh.engine);
  EXPECT_EQ(u.command("backup_get 2"), stored);
  EXPECT_EQ(again.drive, fresh.drive);
  EXPECT_EQ(u.b.motor.drive_voltage(), 0.0);

  u.command("e3on");
  u.command("e3pid -f=0 500");
  u.m.run_until(u.m.now() + seconds(3));
  u.expect_driven("under the regulator again");
  EXPECT_FALSE(u.m.halted());
}

TEST(Reset, AHaltedBoardRunsAgainAndAResetBeforeTheFirstRunChangesNothing) {
  sim::Options o;
  o.reset_at_s = {0.0};
  Unit u(o);
  const std::string banner = u.to_prompt();
  EXPECT_EQ(u.b.resets(), 1u);
  EXPECT_EQ(banner.find("Start programm."), banner.rfind("Start programm."));  // one start only

  u.b.cpu.mark_halted("a fault for the test");
  ASSERT_TRUE(u.m.halted());
  u.m.reset();
  EXPECT_FALSE(u.m.halted());
  EXPECT_EQ(u.to_prompt(), banner);
  EXPECT_NE(u.command("backup_get 1").find("Result"), std::string::npos);
}

}  // namespace
