// The front panel of the interactive mode: the whole front of the unit on one
// terminal screen (LCD, LEDs, motor, RS485 line, keypad) with the console below.
// What it shows is gathered in plain values and laid out in text here, so that
// only the drawing needs a terminal.
#pragma once
#include <array>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "board.h"
#include "lcd_view.h"

namespace sim {

// Listens on the RS485 bus: the last complete telemetry line, the encoder interval
// it carried, and how many lines a second arrive.
class Rs485Watch {
 public:
  static constexpr board::Cycles kRateWindow = board::kCpuHz;  // one second
  void byte(board::Cycles at, uint8_t b);
  const std::string& last_line() const { return last_; }
  // The first field of the last line, or -1 before a line that has one.
  long interval() const { return interval_; }
  // Lines per second over the last second before `now`.
  double rate(board::Cycles now) const;

 private:
  std::string partial_, last_;
  long interval_ = -1;
  mutable std::deque<board::Cycles> ends_;  // when recent lines ended
};

struct PanelState {
  double t_s = 0;                                      // virtual time
  double speed = 0;                                    // virtual seconds per wall second, 0 while unknown
  std::array<std::string, board::Hd44780::kRows> lcd;  // the last whole screen
  std::string lcd_note;              // why the display is dark, while it has never been set up
  bool green = false, blue = false;  // lit
  bool motor_on = false;             // power stage enabled
  int direction = 0;                 // +1 forward, -1 reverse, 0 no drive
  double duty_pct = 0;
  double rpm = 0;
  long interval = -1;  // from the RS485 line, -1 unknown
  std::string rs485_line;
  double rs485_rate = 0;
  uint32_t keys_held = 0;  // bit per board::Key
  bool halted = false;
  bool debugger_halted = false;  // held between instructions by a debugger (--gdb)
};

// `lcd_task`: whether --lcd-task was given, for the note on a dark display.
PanelState read_panel(board::Board& b, const Rs485Watch& rs485, const WholeScreen& screen, bool lcd_task);
// Why the display is dark, or "" once the firmware has set it up.
std::string lcd_note(bool ever_set_up, bool lcd_task);
// The note in rows for the display's box: words wrapped to 16 columns, centred.
std::vector<std::string> lcd_note_rows(const std::string& note);

// The unit's key names in key-code order, and the terminal keys that press them.
extern const char* const kKeyNames[board::kKeyCount];

// The lines beside the LCD box.
std::vector<std::string> panel_lines(const PanelState& s);
// The whole state on one line of at most `width` characters, for small terminals.
std::string status_line(const PanelState& s, int width);

// Where things go on a terminal of `rows` by `cols`: the panel when it fits, else
// the plain console with one status line.
struct PanelLayout {
  static constexpr int kPanelRows = 8;  // header, LCD box (6), rule
  static constexpr int kMinRows = kPanelRows + 5, kMinCols = 76;
  bool full = false;
  int console_top = 0, console_rows = 0;
  int status_row = 0;  // the help line (full) or the status line (small)
};
PanelLayout panel_layout(int rows, int cols);

// What a key from the terminal does.
struct KeyAction {
  enum class Kind { none, console, unit_key, quit, prefix };
  Kind kind = Kind::none;
  uint8_t value = 0;  // the byte for the console, or the unit key's code
};
// `ch` as the terminal library returns it; `prefix` after Ctrl-K.
KeyAction key_action(int ch, bool prefix);

}  // namespace sim

namespace sim {

// The panel drawn on a terminal with curses. The console part keeps the last
// stretch of output, so that a resized terminal shows it again.
class PanelScreen {
 public:
  PanelScreen();
  ~PanelScreen();
  PanelScreen(const PanelScreen&) = delete;
  PanelScreen& operator=(const PanelScreen&) = delete;
  // Takes over the terminal on `in` and `out`; false if curses cannot drive it.
  bool open(FILE* in, FILE* out);
  void close();
  void console_output(const std::string& bytes);
  // Draws the panel (or the status line) as `s` says and updates the terminal.
  void update(const PanelState& s);
  // The next key typed, or -1 when none is waiting; a resize is handled here.
  int next_key();

 private:
  struct Impl;
  Impl* impl_;
};

}  // namespace sim
