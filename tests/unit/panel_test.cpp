// The front panel's model: the RS485 listener, the layout, the key mapping and
// the text the panel and the small-terminal status line show.
#include "panel.h"

#include <curses.h>
#include <gtest/gtest.h>

namespace {

using board::kCpuHz;

void feed(sim::Rs485Watch& w, board::Cycles at, const std::string& bytes) {
  for (char c : bytes) w.byte(at, static_cast<uint8_t>(c));
}

TEST(Rs485Watch, KeepsTheLastCompleteLineAndItsInterval) {
  sim::Rs485Watch w;
  EXPECT_EQ(w.interval(), -1);
  feed(w, 0, "0123,0450\n\r0124,04");  // the second line is not complete yet
  EXPECT_EQ(w.last_line(), "0123,0450");
  EXPECT_EQ(w.interval(), 123);
  feed(w, 1, "51\n\r12345,1000\n\r");
  EXPECT_EQ(w.last_line(), "12345,1000");
  EXPECT_EQ(w.interval(), 12345);
  feed(w, 2, "garbage\n\r");  // a line without the two fields says nothing of the interval
  EXPECT_EQ(w.last_line(), "garbage");
  EXPECT_EQ(w.interval(), -1);
}

TEST(Rs485Watch, RateCountsTheLinesOfTheLastSecond) {
  sim::Rs485Watch w;
  for (int i = 0; i < 250; ++i) feed(w, static_cast<board::Cycles>(i) * kCpuHz / 100, "0000,1000\n\r");
  const board::Cycles last = 249ull * kCpuHz / 100;
  EXPECT_NEAR(w.rate(last), 100.0, 1.0);
  EXPECT_NEAR(w.rate(last + kCpuHz / 2), 50.0, 1.0);  // the line stopped half a second ago
  EXPECT_EQ(w.rate(last + 2 * kCpuHz), 0.0);
}

TEST(PanelLayout, FullPanelOnlyWhenItFits) {
  const sim::PanelLayout full = sim::panel_layout(24, 80);
  EXPECT_TRUE(full.full);
  EXPECT_EQ(full.console_top, sim::PanelLayout::kPanelRows);
  EXPECT_EQ(full.status_row, 23);
  EXPECT_EQ(full.console_rows, 23 - sim::PanelLayout::kPanelRows);

  EXPECT_TRUE(sim::panel_layout(sim::PanelLayout::kMinRows, sim::PanelLayout::kMinCols).full);
  for (const auto& [rows, cols] :
       {std::pair{sim::PanelLayout::kMinRows - 1, 200}, {60, sim::PanelLayout::kMinCols - 1}}) {
    const sim::PanelLayout small = sim::panel_layout(rows, cols);
    EXPECT_FALSE(small.full) << rows << "x" << cols;
    EXPECT_EQ(small.console_top, 0);
    EXPECT_EQ(small.status_row, rows - 1);
    EXPECT_EQ(small.console_rows, rows - 1);
  }
  EXPECT_EQ(sim::panel_layout(1, 10).console_rows, 1);  // never a window of no rows
}

TEST(PanelKeys, FunctionKeysAndTheFallbackPressTheUnitsKeys) {
  using K = sim::KeyAction::Kind;
  for (int k = 0; k < board::kKeyCount; ++k) {
    const sim::KeyAction f = sim::key_action(KEY_F(k + 1), false);
    EXPECT_EQ(f.kind, K::unit_key);
    EXPECT_EQ(f.value, k);
    const sim::KeyAction digit = sim::key_action('1' + k, true);
    EXPECT_EQ(digit.kind, K::unit_key);
    EXPECT_EQ(digit.value, k);
  }
  EXPECT_EQ(sim::key_action(0x0B, false).kind, K::prefix);
  EXPECT_EQ(sim::key_action('7', true).kind, K::none);  // no seventh key, and nothing typed
  EXPECT_EQ(sim::key_action('1', false).kind, K::console);
  EXPECT_EQ(sim::key_action(KEY_F(7), false).kind, K::none);
  EXPECT_EQ(sim::key_action(0x1D, false).kind, K::quit);
}

TEST(PanelKeys, EditingKeysBecomeTheBytesTheConsoleKnows) {
  using K = sim::KeyAction::Kind;
  const struct {
    int ch;
    uint8_t byte;
  } cases[] = {{KEY_UP, '`'}, {KEY_BACKSPACE, 0x08}, {0x7F, 0x08},
               {0x08, 0x08},  {KEY_ENTER, '\r'},     {'\r', '\r'},
               {'a', 'a'},    {0x1B, 0x1B},          {0, 0}};
  for (const auto& c : cases) {
    const sim::KeyAction a = sim::key_action(c.ch, false);
    EXPECT_EQ(a.kind, K::console) << c.ch;
    EXPECT_EQ(a.value, c.byte) << c.ch;
  }
  EXPECT_EQ(sim::key_action(KEY_LEFT, false).kind, K::none);
  EXPECT_EQ(sim::key_action(KEY_RESIZE, false).kind, K::none);
}

sim::PanelState running_state() {
  sim::PanelState s;
  s.t_s = 12.5;
  s.green = true;
  s.motor_on = true;
  s.direction = -1;
  s.duty_pct = 42.25;
  s.rpm = 1234.4;
  s.interval = 512;
  s.rs485_line = "0512,0450";
  s.rs485_rate = 100;
  s.keys_held = (1u << static_cast<int>(board::Key::enter)) | (1u << static_cast<int>(board::Key::stop));
  return s;
}

TEST(PanelText, LinesShowEveryPartOfTheFront) {
  const std::vector<std::string> lines = sim::panel_lines(running_state());
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[0], "LEDs    green ON    blue off");
  EXPECT_EQ(lines[1], "Motor   ON    reverse   duty  42.2 %    1234 rpm");
  EXPECT_EQ(lines[2], "        encoder interval 512 (x 10 us)");
  EXPECT_EQ(lines[3], "RS485   0512,0450   100 lines/s");
  EXPECT_EQ(lines[4], "Keys    1 up  2 down  3 esc [4 ENTER] 5 start [6 STOP]");
  EXPECT_EQ(lines[5], "");
  for (const auto& line : lines)  // beside the LCD box on the narrowest full panel
    EXPECT_LE(line.size() + 20, static_cast<size_t>(sim::PanelLayout::kMinCols)) << line;

  sim::PanelState halted;
  halted.halted = true;
  const std::vector<std::string> idle = sim::panel_lines(halted);
  EXPECT_EQ(idle[1], "Motor   off   -   duty   0.0 %       0 rpm");
  EXPECT_EQ(idle[2], "        encoder interval -");
  EXPECT_EQ(idle[3], "RS485   -   0 lines/s");
  EXPECT_EQ(idle[5].rfind("HALTED", 0), 0u);
}

TEST(PanelText, StatusLineFitsTheTerminal) {
  const std::string full = sim::status_line(running_state(), 500);
  EXPECT_EQ(
      full,
      "12.5s LED g* b- motor on rev 42% 1234rpm i512 rs485 100/s keys enter+stop | F1-F6 keys, Ctrl-] quits");
  EXPECT_EQ(sim::status_line(running_state(), 20), full.substr(0, 20));
  EXPECT_EQ(sim::status_line(running_state(), 0), "");
}

TEST(PanelText, ADisplayNeverSetUpSaysWhyInItsBoxAndTheStatusLine) {
  EXPECT_EQ(sim::lcd_note(true, false), "");
  EXPECT_EQ(sim::lcd_note(false, false), "LCD task off: --lcd-task");
  EXPECT_EQ(sim::lcd_note(false, true), "LCD not set up yet");
  EXPECT_EQ(sim::lcd_note_rows("LCD task off: --lcd-task"),
            (std::vector<std::string>{" LCD task off:  ", "   --lcd-task   "}));
  EXPECT_EQ(sim::lcd_note_rows("LCD not set up yet"),
            (std::vector<std::string>{" LCD not set up ", "      yet       "}));
  // A word longer than the box is cut, not spilled over its frame.
  EXPECT_EQ(sim::lcd_note_rows("abcdefghijklmnopqrs"), std::vector<std::string>{"abcdefghijklmnop"});
  EXPECT_TRUE(sim::lcd_note_rows("").empty());
  sim::PanelState dark = running_state();
  dark.lcd_note = sim::lcd_note(false, false);
  EXPECT_EQ(sim::status_line(dark, 500).rfind("12.5s [LCD task off: --lcd-task] LED g*", 0), 0u);
}

}  // namespace
