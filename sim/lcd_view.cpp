#include "lcd_view.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "main.h"

namespace sim {

namespace {

constexpr int kLookPriority = 40;
constexpr board::Cycles kLookEvery = board::kCpuHz / 50;  // 20 ms
// The firmware redraws whole screens: one is complete once the bus has been quiet
// this long, and only complete screens are shown.
constexpr board::Cycles kQuiet = board::kCpuHz / 100;  // 10 ms

void autostart_lcd_task() {
  for (sTasks* row = fTasks; row->name != nullptr; ++row) {
    if (std::strcmp(reinterpret_cast<const char*>(*row->name), "LCD") == 0) row->flags |= TASK_AUTOSTART;
  }
}

}  // namespace

std::string lcd_screen(const board::Hd44780& lcd) {
  std::string text;
  for (int row = 0; row < board::Hd44780::kRows; ++row) text += lcd.row_text(row) + "\n";
  return text;
}

std::string lcd_options_problem(const Options& options) {
  if (options.lcd_file.empty()) return "";
  FILE* f = std::fopen(options.lcd_file.c_str(), "ab");
  if (f == nullptr) return options.lcd_file + ": " + std::strerror(errno);
  std::fclose(f);
  return "";
}

LcdView::LcdView(board::Board& b, const Options& options) : board_(b), file_(options.lcd_file) {
  if (options.lcd_task) autostart_lcd_task();
  if (options.mode == Options::Mode::interactive || options.mode == Options::Mode::pty)
    board_.events.schedule(kLookEvery, kLookPriority, look, this);
}

void LcdView::look(void* self, uint64_t) {
  auto* v = static_cast<LcdView*>(self);
  board::Board& b = v->board_;
  b.events.schedule(b.now() + kLookEvery, kLookPriority, look, v);
  if (!v->drawing_ || b.now() - b.lcd.last_write() < kQuiet) return;
  const std::string screen = lcd_screen(b.lcd);
  if (screen == v->shown_) return;
  v->shown_ = screen;
  // The terminal is raw: every line ends in CR LF.
  std::string frame = "\r\n+----------------+\r\n";
  for (int row = 0; row < board::Hd44780::kRows; ++row) {
    // Appended piece by piece: GCC 12 at -O3 warns wrongly of overlap in "|" + text.
    frame += '|';
    frame += b.lcd.row_text(row);
    frame += "|\r\n";
  }
  frame += "+----------------+\r\n";
  std::fputs(frame.c_str(), stderr);
}

std::string LcdView::finish() {
  std::string report;
  if (!file_.empty()) {
    FILE* f = std::fopen(file_.c_str(), "wb");
    bool written = f != nullptr && std::fputs(lcd_screen(board_.lcd).c_str(), f) >= 0;
    if (f != nullptr && std::fclose(f) != 0) written = false;
    if (!written) report += "tarvik-sim: " + file_ + ": " + std::strerror(errno) + "\n";
  }
  if (board_.lcd.violations() != 0)
    report += "tarvik-sim: the LCD saw " + std::to_string(board_.lcd.violations()) +
              " timing violation(s), the first: " + board_.lcd.first_violation() + "\n";
  return report;
}

}  // namespace sim
