// The board's display in tarvik-sim: --lcd-task starts the firmware's LCD task at
// reset, --lcd FILE keeps the last whole screen, --lcd-log FILE every whole screen
// as it comes up, and in the real-time modes the panel is redrawn on standard
// error whenever a new whole screen is up.
#pragma once
#include <array>
#include <functional>
#include <memory>
#include <string>

#include "board.h"
#include "sim.h"
#include "wiring.h"

namespace sim {

// The four rows of the panel, 16 characters each (dark cells as blanks), each
// ending in a line feed.
std::string lcd_screen(const board::Hd44780& lcd);

// A screen as lcd_screen gives it, row by row without the line feeds; blank
// rows for "" (no whole screen yet).
std::array<std::string, board::Hd44780::kRows> screen_rows(const std::string& screen);

// What is wrong with --lcd or --lcd-log, or "" if nothing.
std::string lcd_options_problem(const Options& options);

// Whole screens. The firmware redraws a screen in tens of milliseconds, clearing
// it first, so at most moments the display is half drawn; a screen is whole once
// the bus has been quiet for 10 ms. Found from the bus writes alone, without
// events of its own, so it changes nothing in the run.
class WholeScreen {
 public:
  static constexpr board::Cycles kQuiet = board::kCpuHz / 100;  // 10 ms
  WholeScreen(board::Hd44780& lcd, const board::EventQueue& events);
  ~WholeScreen();
  WholeScreen(const WholeScreen&) = delete;
  WholeScreen& operator=(const WholeScreen&) = delete;
  // The display as it stood the last time its bus had been quiet for 10 ms, or
  // "" if no whole screen was ever up (the display never set up, or mid-drawing).
  std::string now() const;
  // When the screen now() gives came up on the display: its last write.
  board::Cycles since() const;
  // Hears each whole screen that differs from the one before, with the time it
  // came up, once it is known to be whole; `flush` tells the last one at the end.
  std::function<void(board::Cycles at, const std::string& screen)> on_new;
  void flush();

 private:
  // Takes the screen now standing as whole if the bus has been quiet long enough.
  void take_if_whole();
  void whole(board::Cycles at, const std::string& screen);
  board::Hd44780& lcd_;
  const board::EventQueue& events_;
  std::string last_;  // the last screen known to be whole
  board::Cycles last_at_ = 0;
  std::string told_;  // the last one on_new heard
};

class LcdView {
 public:
  LcdView(board::Board& b, const Options& options);
  // Writes --lcd's file; returns what is to be reported on standard error.
  std::string finish();
  void set_drawing(bool on) { drawing_ = on; }
  const WholeScreen& whole() const { return whole_; }

 private:
  static void look(void* self, uint64_t);

  board::Board& board_;
  std::string file_;
  WholeScreen whole_;
  std::unique_ptr<OutputFile> log_;
  std::string shown_;  // what the last redraw showed
  bool drawing_ = true;
};

}  // namespace sim
