// Faults injected as the unit would meet them in the field.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "command.h"
#include "machine.h"
#include "sim.h"

namespace {

using sim::seconds;

// Runs the motor at full drive with the faults given.
struct FullDrive {
  sim::Machine m;
  board::Board& b = m.board();
  sim::LineInput console{b, b.usart1, sim::LineInput::Mode::paced};
  explicit FullDrive(const std::string& faults) : m(options(faults)) { console.push("e3on\re3pulse 0\r"); }
  static sim::Options options(const std::string& faults) {
    sim::Options o;
    o.faults = faults;
    return o;
  }
  double rpm_at(double s) {
    m.run_until(seconds(s));
    return b.motor.rpm();
  }
};

TEST(Faults, LoadStepSlowsTheMotor) {
  FullDrive r("load=0.04@3s");  // a third of the stall torque, with friction
  const double before = r.rpm_at(2.9);
  const double after = r.rpm_at(4.5);
  EXPECT_GT(before, 4000);
  EXPECT_LT(after, before * 0.8);
  EXPECT_GT(after, 0);
}

TEST(Faults, StalledRotorStandsThenTurnsAgain) {
  FullDrive r("stall@2s+1s");
  EXPECT_GT(r.rpm_at(1.9), 4000);
  EXPECT_EQ(r.rpm_at(2.5), 0.0);
  const auto edges = r.b.motor.edges();
  EXPECT_EQ(r.rpm_at(2.99), 0.0);
  EXPECT_EQ(r.b.motor.edges(), edges);  // no encoder edges while jammed
  EXPECT_GT(r.rpm_at(4.0), 4000);
}

TEST(Faults, BouncingKeysAreReportedOnce) {
  sim::Options o;
  o.keys = "up@1s+300ms,stop@2s+300ms";
  o.faults = "bounce=6ms,seed=3";
  const sim::BatchResult r = sim::run_batch("keys\r", o);
  EXPECT_NE(r.console.find("keys\r\nKey UP(1) is pressed.\r\nKey STOP(6) is pressed.\r\n\r\nconsole>"),
            std::string::npos)
      << r.console;
}

TEST(Faults, DroppedConsoleBytesNeverArrive) {
  sim::Options o;
  o.faults = "drop=1";
  const sim::BatchResult r = sim::run_batch("help\r", o);
  EXPECT_EQ(r.console, "\r\n Tarvik! Start programm.\r\n Version: 0.0.1\r\nconsole>");
}

std::string cli(const std::string& args) {
  return run_command("printf 'help\\rhelp\\r' | " TARVIK_SIM_PATH " --batch " + args + " 2>/dev/null").out;
}

TEST(Faults, CorruptionIsSeededAndRepeats) {
  const std::string clean = cli("");
  const std::string a = cli("--fault corrupt=0.3,seed=5");
  EXPECT_NE(a, clean);
  EXPECT_EQ(cli("--fault corrupt=0.3,seed=5"), a);
  EXPECT_NE(cli("--fault corrupt=0.3,seed=6"), a);
}

}  // namespace
