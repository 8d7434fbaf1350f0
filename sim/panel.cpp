#include "panel.h"

#include <curses.h>

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace sim {

namespace {

constexpr uint8_t kQuitKey = 0x1D;                  // Ctrl-]
constexpr uint8_t kKeyPrefix = 0x0B;                // Ctrl-K
constexpr int kGreenLedPin = 11, kBlueLedPin = 12;  // PA11, PA12, lit when low

std::string format(const char* fmt, double a, double b = 0, double c = 0) {
  char text[64];
  std::snprintf(text, sizeof text, fmt, a, b, c);
  return text;
}

const char* direction_name(int direction) {
  return direction > 0 ? "forward" : direction < 0 ? "reverse" : "-";
}

}  // namespace

const char* const kKeyNames[board::kKeyCount] = {"up", "down", "esc", "enter", "start", "stop"};

void Rs485Watch::byte(board::Cycles at, uint8_t b) {
  if (b == '\n' || b == '\r') {
    if (partial_.empty()) return;  // the other half of "\n\r"
    last_ = partial_;
    partial_.clear();
    char* end = nullptr;
    const long v = std::strtol(last_.c_str(), &end, 10);
    interval_ = end != last_.c_str() && *end == ',' ? v : -1;
    ends_.push_back(at);
    while (ends_.size() > 1000) ends_.pop_front();
    return;
  }
  if (partial_.size() < 64) partial_.push_back(b >= 0x20 && b < 0x7F ? static_cast<char>(b) : '?');
}

double Rs485Watch::rate(board::Cycles now) const {
  while (!ends_.empty() && now - ends_.front() > kRateWindow) ends_.pop_front();
  return static_cast<double>(ends_.size()) * static_cast<double>(board::kCpuHz) /
         static_cast<double>(kRateWindow);
}

std::string lcd_note(bool ever_set_up, bool lcd_task) {
  if (ever_set_up) return "";
  // The unit as shipped never starts the LCD task: say so, lest it look broken.
  return lcd_task ? "LCD not set up yet" : "LCD task off: --lcd-task";
}

std::vector<std::string> lcd_note_rows(const std::string& note) {
  constexpr size_t kWidth = board::Hd44780::kCols;
  std::vector<std::string> rows;
  std::string row;
  auto centre = [&] {
    if (row.empty()) return;
    const size_t left = (kWidth - row.size()) / 2;
    rows.push_back(std::string(left, ' ') + row + std::string(kWidth - left - row.size(), ' '));
    row.clear();
  };
  for (size_t at = 0; at < note.size();) {
    size_t end = note.find(' ', at);
    if (end == std::string::npos) end = note.size();
    std::string word = note.substr(at, end - at).substr(0, kWidth);
    at = end + 1;
    if (word.empty()) continue;
    if (!row.empty() && row.size() + 1 + word.size() > kWidth) centre();
    row += (row.empty() ? "" : " ") + word;
  }
  centre();
  return rows;
}

PanelState read_panel(board::Board& b, const Rs485Watch& rs485, const WholeScreen& screen, bool lcd_task) {
  PanelState s;
  s.t_s = static_cast<double>(b.now()) / static_cast<double>(board::kCpuHz);
  s.lcd = screen_rows(screen.now());
  s.lcd_note = lcd_note(b.lcd.ever_instructed(), lcd_task);
  s.green = !b.gpioa.level(kGreenLedPin);
  s.blue = !b.gpioa.level(kBlueLedPin);
  s.motor_on = b.motor.enabled();
  const double v = b.motor.drive_voltage();
  s.direction = v > 0 ? 1 : v < 0 ? -1 : 0;
  s.duty_pct = b.motor.params.supply_v > 0 ? std::fabs(v) / b.motor.params.supply_v * 100.0 : 0;
  s.rpm = b.motor.rpm();
  s.interval = rs485.interval();
  s.rs485_line = rs485.last_line();
  s.rs485_rate = rs485.rate(b.now());
  for (int k = 0; k < board::kKeyCount; ++k)
    if (b.keypad.held(static_cast<board::Key>(k))) s.keys_held |= 1u << k;
  s.halted = b.cpu.halted();
  return s;
}

std::vector<std::string> panel_lines(const PanelState& s) {
  std::vector<std::string> lines;
  lines.push_back(std::string("LEDs    green ") + (s.green ? "ON " : "off") + "   blue " +
                  (s.blue ? "ON" : "off"));
  lines.push_back(std::string("Motor   ") + (s.motor_on ? "ON " : "off") + "   " +
                  direction_name(s.direction) +
                  format("   duty %5.1f %%   %5.0f rpm", s.duty_pct, std::fabs(s.rpm) < 0.5 ? 0.0 : s.rpm));
  lines.push_back(s.interval < 0
                      ? std::string("        encoder interval -")
                      : format("        encoder interval %.0f (x 10 us)", static_cast<double>(s.interval)));
  lines.push_back("RS485   " + (s.rs485_line.empty() ? std::string("-") : s.rs485_line) +
                  format("   %.0f lines/s", s.rs485_rate));
  // Numbered as the terminal keys that press them: F1-F6, or Ctrl-K 1-6.
  std::string keys = "Keys   ";
  for (int k = 0; k < board::kKeyCount; ++k) {
    const bool held = s.keys_held & (1u << k);
    std::string name = std::to_string(k + 1) + " " + kKeyNames[k];
    if (held)
      for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    keys += held ? "[" + name + "]" : " " + name + " ";
  }
  lines.push_back(keys);
  lines.push_back(s.halted ? "HALTED  (see the console's last lines)" : "");
  return lines;
}

std::string status_line(const PanelState& s, int width) {
  std::string keys;
  for (int k = 0; k < board::kKeyCount; ++k)
    if (s.keys_held & (1u << k)) keys += std::string(keys.empty() ? "" : "+") + kKeyNames[k];
  std::string line =
      format("%.1fs", s.t_s) + (s.halted ? " HALTED" : "") + (s.debugger_halted ? " halted" : "") +
      (s.lcd_note.empty() ? "" : " [" + s.lcd_note + "]") + " LED g" + (s.green ? "*" : "-") + " b" +
      (s.blue ? "*" : "-") + " motor " + (s.motor_on ? "on " : "off ") +
      (s.direction > 0   ? "fwd"
       : s.direction < 0 ? "rev"
                         : "-") +
      format(" %.0f%% %.0frpm", s.duty_pct, std::fabs(s.rpm) < 0.5 ? 0.0 : s.rpm) +
      (s.interval < 0 ? std::string(" i-") : format(" i%.0f", static_cast<double>(s.interval))) +
      format(" rs485 %.0f/s", s.rs485_rate) + " keys " + (keys.empty() ? "-" : keys) +
      " | F1-F6 keys, Ctrl-] quits";
  if (width < 0) width = 0;
  if (line.size() > static_cast<size_t>(width)) line.resize(static_cast<size_t>(width));
  return line;
}

PanelLayout panel_layout(int rows, int cols) {
  PanelLayout l;
  l.full = rows >= PanelLayout::kMinRows && cols >= PanelLayout::kMinCols;
  l.console_top = l.full ? PanelLayout::kPanelRows : 0;
  l.status_row = rows > 0 ? rows - 1 : 0;
  l.console_rows = l.status_row - l.console_top;
  if (l.console_rows < 1) l.console_rows = rows > 0 ? 1 : 0;  // a one-row terminal: the console alone
  return l;
}

KeyAction key_action(int ch, bool prefix) {
  using K = KeyAction::Kind;
  if (prefix) {
    if (ch >= '1' && ch <= '6') return {K::unit_key, static_cast<uint8_t>(ch - '1')};
    return {};
  }
  for (int k = 0; k < board::kKeyCount; ++k)
    if (ch == KEY_F(k + 1)) return {K::unit_key, static_cast<uint8_t>(k)};
  switch (ch) {
    case kQuitKey:
      return {K::quit, 0};
    case kKeyPrefix:
      return {K::prefix, 0};
    case KEY_UP:  // the console recalls its history with the grave accent
      return {K::console, '`'};
    case KEY_BACKSPACE:
    case 0x7F:  // what most terminals send for Backspace; the unit erases on 0x08
      return {K::console, 0x08};
    case KEY_ENTER:
      return {K::console, '\r'};
    default:
      break;
  }
  if (ch >= 0 && ch <= 0xFF) return {K::console, static_cast<uint8_t>(ch)};
  return {};
}

}  // namespace sim
