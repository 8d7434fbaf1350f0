#include "lcd_view.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "main.h"

namespace sim {

namespace {

constexpr int kLookPriority = 40;
constexpr board::Cycles kLookEvery = board::kCpuHz / 50;  // 20 ms

void autostart_lcd_task() {
  for (sTasks* row = fTasks; row->name != nullptr; ++row) {
    if (std::strcmp(reinterpret_cast<const char*>(*row->name), "LCD") == 0) row->flags |= TASK_AUTOSTART;
  }
}

bool quiet_since(const board::Hd44780& lcd, board::Cycles now) {
  return lcd.ever_instructed() && now - lcd.last_write() >= WholeScreen::kQuiet;
}

}  // namespace

std::string lcd_screen(const board::Hd44780& lcd) {
  std::string text;
  for (int row = 0; row < board::Hd44780::kRows; ++row) text += lcd.row_text(row) + "\n";
  return text;
}

std::string lcd_options_problem(const Options& options) {
  for (const std::string* path : {&options.lcd_file, &options.lcd_log}) {
    if (path->empty()) continue;
    FILE* f = std::fopen(path->c_str(), "ab");
    if (f == nullptr) return *path + ": " + std::strerror(errno);
    std::fclose(f);
  }
  return "";
}

std::array<std::string, board::Hd44780::kRows> screen_rows(const std::string& screen) {
  std::array<std::string, board::Hd44780::kRows> rows;
  size_t at = 0;
  for (std::string& row : rows) {
    const size_t end = screen.find('\n', at);
    if (end == std::string::npos) {
      row = std::string(board::Hd44780::kCols, ' ');
      continue;
    }
    row = screen.substr(at, end - at);
    at = end + 1;
  }
  return rows;
}

WholeScreen::WholeScreen(board::Hd44780& lcd, const board::EventQueue& events) : lcd_(lcd), events_(events) {
  // The screen about to change had been standing: whole, if long enough.
  lcd_.on_bus_write = [this] { take_if_whole(); };
}

WholeScreen::~WholeScreen() { lcd_.on_bus_write = nullptr; }

void WholeScreen::take_if_whole() {
  if (quiet_since(lcd_, events_.now())) whole(lcd_.last_write(), lcd_screen(lcd_));
}

void WholeScreen::whole(board::Cycles at, const std::string& screen) {
  last_ = screen;
  last_at_ = at;
  if (screen == told_) return;
  told_ = screen;
  if (on_new) on_new(at, screen);
}

std::string WholeScreen::now() const { return quiet_since(lcd_, events_.now()) ? lcd_screen(lcd_) : last_; }

board::Cycles WholeScreen::since() const {
  return quiet_since(lcd_, events_.now()) ? lcd_.last_write() : last_at_;
}

void WholeScreen::flush() { take_if_whole(); }

LcdView::LcdView(board::Board& b, const Options& options)
    : board_(b), file_(options.lcd_file), whole_(b.lcd, b.events) {
  if (options.lcd_task) autostart_lcd_task();
  if (options.mode == Options::Mode::interactive || options.mode == Options::Mode::pty)
    board_.events.schedule_marker(kLookEvery, kLookPriority, look, this);
  if (!options.lcd_log.empty()) {
    log_ = std::make_unique<OutputFile>(options.lcd_log);
    whole_.on_new = [f = log_->get()](board::Cycles at, const std::string& screen) {
      if (f == nullptr) return;
      std::fprintf(f, "t=%.6f\n%s", static_cast<double>(at) / static_cast<double>(board::kCpuHz),
                   screen.c_str());
    };
  }
}

void LcdView::look(void* self, uint64_t) {
  auto* v = static_cast<LcdView*>(self);
  board::Board& b = v->board_;
  b.events.schedule_marker(b.now() + kLookEvery, kLookPriority, look, v);
  if (!v->drawing_) return;
  const std::string screen = v->whole_.now();
  if (screen.empty() || screen == v->shown_) return;
  v->shown_ = screen;
  // The terminal is raw: every line ends in CR LF.
  std::string frame = "\r\n+----------------+\r\n";
  for (const std::string& row : screen_rows(screen)) {
    // Appended piece by piece: GCC 12 at -O3 warns wrongly of overlap in "|" + text.
    frame += '|';
    frame += row;
    frame += "|\r\n";
  }
  frame += "+----------------+\r\n";
  std::fputs(frame.c_str(), stderr);
}

std::string LcdView::finish() {
  std::string report;
  whole_.flush();
  if (log_ && log_->get() != nullptr) std::fflush(log_->get());
  if (!file_.empty()) {
    std::string screen = whole_.now();
    if (screen.empty()) {
      screen = lcd_screen(board_.lcd);
      report += "tarvik-sim: --lcd: no whole screen was ever up (the display " +
                std::string(board_.lcd.ever_instructed() ? "was still being drawn" : "was never set up") +
                "); " + file_ + " holds the display at the end\n";
    }
    FILE* f = std::fopen(file_.c_str(), "wb");
    bool written = f != nullptr && std::fputs(screen.c_str(), f) >= 0;
    if (f != nullptr && std::fclose(f) != 0) written = false;
    if (!written) report += "tarvik-sim: " + file_ + ": " + std::strerror(errno) + "\n";
  }
  if (board_.lcd.violations() != 0)
    report += "tarvik-sim: the LCD saw " + std::to_string(board_.lcd.violations()) +
              " timing violation(s), the first: " + board_.lcd.first_violation() + "\n";
  return report;
}

}  // namespace sim
