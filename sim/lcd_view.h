// The board's display in tarvik-sim: --lcd-task starts the firmware's LCD task at
// reset, --lcd FILE keeps the last screen, and in the real-time modes the panel is
// redrawn on standard error whenever what it shows has changed.
#pragma once
#include <string>

#include "board.h"
#include "sim.h"

namespace sim {

// The four rows of the panel, 16 characters each (dark cells as blanks), each
// ending in a line feed.
std::string lcd_screen(const board::Hd44780& lcd);

// What is wrong with --lcd, or "" if nothing.
std::string lcd_options_problem(const Options& options);

class LcdView {
 public:
  LcdView(board::Board& b, const Options& options);
  // Writes --lcd's file; returns what is to be reported on standard error.
  std::string finish();
  void set_drawing(bool on) { drawing_ = on; }

 private:
  static void look(void* self, uint64_t);

  board::Board& board_;
  std::string file_;
  std::string shown_;  // what the last redraw showed
  bool drawing_ = true;
};

}  // namespace sim
