// What the front panel reads from the board while the firmware runs: LEDs, the
// power stage, duty and speed, the RS485 line and the keys held.
#include <gtest/gtest.h>

#include "console_session.h"
#include "panel.h"

namespace {

TEST(PanelState, FollowsTheLedsTheMotorAndTheRs485Line) {
  ConsoleSession s;
  board::Board& b = s.board();
  sim::Rs485Watch watch;
  b.rs485.on_byte = [&](uint8_t byte) { watch.byte(b.now(), byte); };
  s.machine().run_until(s.machine().now() + sim::seconds(1));

  sim::PanelState idle = sim::read_panel(b, watch, s.machine().whole_screen(), false);
  EXPECT_TRUE(idle.green);  // both lit from set-up until first switched
  EXPECT_TRUE(idle.blue);
  EXPECT_EQ(idle.rs485_line, "0000,1000");
  EXPECT_EQ(idle.interval, 0);
  EXPECT_NEAR(idle.rs485_rate, 100, 15);
  EXPECT_EQ(idle.rpm, 0);
  EXPECT_EQ(idle.keys_held, 0u);

  s.run("led -n=1 -f=off");
  s.run("e3on");
  s.run("e3pid -f=0 500");
  s.machine().run_until(s.machine().now() + sim::seconds(20));
  b.keypad.press(board::Key::start);
  const sim::PanelState running = sim::read_panel(b, watch, s.machine().whole_screen(), false);
  EXPECT_TRUE(running.green);
  EXPECT_FALSE(running.blue);
  EXPECT_TRUE(running.motor_on);
  EXPECT_NE(running.direction, 0);
  EXPECT_GT(running.duty_pct, 0);
  EXPECT_LE(running.duty_pct, 100);
  EXPECT_GT(running.rpm * running.direction, 100);
  EXPECT_GT(running.interval, 0);  // the encoder turns
  EXPECT_EQ(std::stol(running.rs485_line.substr(0, running.rs485_line.find(','))), running.interval)
      << running.rs485_line;
  EXPECT_EQ(running.keys_held, 1u << static_cast<int>(board::Key::start));
  EXPECT_NEAR(running.t_s, sim::to_seconds(s.machine().now()), 1e-9);

  s.run("e3off");
  s.machine().run_until(s.machine().now() + sim::seconds(5));
  const sim::PanelState stopped = sim::read_panel(b, watch, s.machine().whole_screen(), false);
  EXPECT_EQ(stopped.duty_pct, 0);
  EXPECT_EQ(stopped.direction, 0);
}

}  // namespace
