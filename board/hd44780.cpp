#include "hd44780.h"

#include <cstdio>

#include "gpio.h"

namespace board {

namespace {

constexpr Cycles from_ns(uint64_t ns) { return (ns * (kCpuHz / 1000000) + 999) / 1000; }
constexpr Cycles from_us(uint64_t us) { return us * (kCpuHz / 1000000); }

constexpr Cycles kPowerUp = from_us(15000);
constexpr Cycles kFirstFunctionSet = from_us(4100);
constexpr Cycles kSecondFunctionSet = from_us(100);
constexpr Cycles kLong = from_us(1520);
constexpr Cycles kShort = from_us(37);
constexpr Cycles kEnableHigh = from_ns(230);
constexpr Cycles kEnableCycle = from_ns(500);
constexpr Cycles kAddressSetup = from_ns(40);
constexpr Cycles kDataSetup = from_ns(80);
constexpr Cycles kHold = from_ns(10);

bool is_data_pin(int pin) { return pin >= Hd44780::kD4 && pin < Hd44780::kD4 + 4; }

}  // namespace

Hd44780::Hd44780(EventQueue& events, Gpio& portc) : events_(events), port_(portc) {
  ddram_.fill(0x20);
  port_.add_listener([this](int pin, bool level) { pin_changed(pin, level); });
}

void Hd44780::violation(const char* what) {
  if (violations_++ == 0) {
    char text[160];
    std::snprintf(text, sizeof text, "%s at cycle %llu", what,
                  static_cast<unsigned long long>(events_.now()));
    first_violation_ = text;
  }
}

void Hd44780::changed() {
  if (on_change) on_change();
}

void Hd44780::pin_changed(int pin, bool level) {
  const Cycles now = events_.now();
  if (pin == kE) {
    if (level) {
      if (any_rise_ && now - e_rise_ < kEnableCycle) violation("E cycle shorter than 500 ns");
      if (now - control_change_ < kAddressSetup) violation("RS or R/W set less than 40 ns before E rose");
      any_rise_ = true;
      e_rise_ = now;
      e_ = true;
    } else if (e_) {
      e_ = false;
      if (now - e_rise_ < kEnableHigh) violation("E high for less than 230 ns");
      if (now - data_change_ < kDataSetup) violation("data set less than 80 ns before E fell");
      if (on_bus_write) on_bus_write();
      falling_edge();
      any_fall_ = true;
      last_fall_ = now;
    }
    return;
  }
  const bool control = pin == kRs || pin == kRw;
  if (!control && !is_data_pin(pin)) return;
  if (any_fall_ && now - last_fall_ < kHold) violation("a line changed less than 10 ns after E fell");
  if (control) {
    if (e_) violation("RS or R/W changed while E was high");
    control_change_ = now;
  } else {
    data_change_ = now;
  }
}

void Hd44780::falling_edge() {
  const bool rs = port_.level(kRs);
  if (port_.level(kRw)) {
    // A read: the controller would drive the bus; nothing is stored.
    ++reads_;
    if (!eight_bit_) high_nibble_next_ = !high_nibble_next_;
    return;
  }
  // A write too early counts once, whichever of its nibbles came too early.
  const char* early = events_.now() < kPowerUp      ? "write less than 15 ms after power-on"
                      : events_.now() < busy_until_ ? "write while the controller was busy"
                                                    : nullptr;
  uint8_t nibble = 0;
  for (int i = 0; i < 4; ++i) nibble = static_cast<uint8_t>(nibble | (port_.level(kD4 + i) << i));
  if (eight_bit_) {
    if (early != nullptr) violation(early);
    execute(rs, static_cast<uint8_t>(nibble << 4));  // D0-D3 are not connected
    return;
  }
  if (high_nibble_next_) {
    upper_ = nibble;
    upper_rs_ = rs;
    upper_early_ = early;
    high_nibble_next_ = false;
    return;
  }
  high_nibble_next_ = true;
  if (upper_early_ != nullptr) early = upper_early_;
  if (early != nullptr) violation(early);
  if (rs != upper_rs_) violation("RS changed between the two halves of a byte");
  execute(upper_rs_, static_cast<uint8_t>(upper_ << 4 | nibble));
}

void Hd44780::busy_for(Cycles cycles) { busy_until_ = events_.now() + cycles; }

void Hd44780::execute(bool rs, uint8_t value) {
  if (rs) {
    data(value);
  } else {
    instruction(value);
  }
  changed();
}

void Hd44780::instruction(uint8_t value) {
  ++instructions_;
  if (value & 0x80) {  // set DDRAM address
    cgram_ = false;
    ac_ = value & 0x7F;
    busy_for(kShort);
  } else if (value & 0x40) {  // set CGRAM address
    cgram_ = true;
    ac_ = value & 0x3F;
    busy_for(kShort);
  } else if (value & 0x20) {  // function set
    const bool was_eight_bit = eight_bit_;
    eight_bit_ = (value & 0x10) != 0;
    two_lines_ = (value & 0x08) != 0;
    if (was_eight_bit) {
      ++function_sets_;
      busy_for(function_sets_ == 1 ? kFirstFunctionSet : function_sets_ == 2 ? kSecondFunctionSet : kShort);
    } else {
      busy_for(kShort);
    }
    high_nibble_next_ = true;
  } else if (value & 0x10) {  // cursor or display shift
    const bool display = (value & 0x08) != 0, right = (value & 0x04) != 0;
    if (display) {
      shift_ = (shift_ + (right ? line_length() - 1 : 1)) % line_length();
    } else {
      const bool saved = increment_;
      increment_ = right;
      step_address();
      increment_ = saved;
    }
    busy_for(kShort);
  } else if (value & 0x08) {  // display on/off control
    display_on_ = (value & 0x04) != 0;
    cursor_ = (value & 0x02) != 0;
    blink_ = (value & 0x01) != 0;
    busy_for(kShort);
  } else if (value & 0x04) {  // entry mode set
    increment_ = (value & 0x02) != 0;
    entry_shift_ = (value & 0x01) != 0;
    busy_for(kShort);
  } else if (value & 0x02) {  // return home
    cgram_ = false;
    ac_ = 0;
    shift_ = 0;
    busy_for(kLong);
  } else if (value & 0x01) {  // clear display
    ddram_.fill(0x20);
    cgram_ = false;
    ac_ = 0;
    shift_ = 0;
    increment_ = true;
    busy_for(kLong);
  }
}

void Hd44780::step_address() {
  if (cgram_) {
    ac_ = static_cast<uint8_t>((ac_ + (increment_ ? 1 : 0x3F)) & 0x3F);
    return;
  }
  if (!two_lines_) {
    ac_ = static_cast<uint8_t>(increment_ ? (ac_ >= 0x4F ? 0 : ac_ + 1) : (ac_ == 0 ? 0x4F : ac_ - 1));
    return;
  }
  // Two lines: 0x00-0x27, then 0x40-0x67, then round again.
  if (increment_) {
    ac_ = static_cast<uint8_t>(ac_ == 0x27 ? 0x40 : ac_ >= 0x67 ? 0 : ac_ + 1);
  } else {
    ac_ = static_cast<uint8_t>(ac_ == 0x40 ? 0x27 : ac_ == 0 ? 0x67 : ac_ - 1);
  }
}

void Hd44780::data(uint8_t value) {
  ++data_writes_;
  if (cgram_) {
    cgram_data_[ac_ & 0x3F] = value;
  } else {
    ddram_[ac_ & 0x7F] = value;
    if (entry_shift_) shift_ = (shift_ + (increment_ ? 1 : line_length() - 1)) % line_length();
  }
  step_address();
  busy_for(kShort);
}

uint8_t Hd44780::cell(int row, int col) const {
  if (row < 0 || row >= kRows || col < 0 || col >= kCols || !display_on_) return 0x20;
  const bool second_line = (row % 2) != 0;
  const int offset = row >= 2 ? kCols : 0;
  if (!two_lines_) {
    if (second_line) return 0x20;
    return ddram_[(offset + col + shift_) % line_length()];
  }
  const int base = second_line ? 0x40 : 0x00;
  return ddram_[base + (offset + col + shift_) % line_length()];
}

std::string Hd44780::row_text(int row) const {
  std::string text(kCols, ' ');
  for (int col = 0; col < kCols; ++col) {
    const uint8_t c = cell(row, col);
    text[col] = c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?';
  }
  return text;
}

}  // namespace board
