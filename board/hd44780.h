// The 16x4 character LCD on port C: an HD44780-compatible controller wired for its
// 4-bit interface (D4-D7 on PC0-PC3, E on PC5, RS on PC8, R/W on PC9). It latches
// the lines on the falling edge of E, starts in 8-bit mode after power-on (D0-D3
// are not connected and read 0), and executes clear, home, entry mode, display
// on/off, cursor/display shift, function set, CGRAM/DDRAM address and data writes.
// Reads (R/W high) are counted and otherwise ignored: the unit never reads.
//
// The panel's rows start at DDRAM 0x00, 0x40, 0x10 and 0x50: rows 2 and 3 continue
// the two 40-character lines of rows 0 and 1. With one display line (N = 0) rows 1
// and 3 stay dark, as does the whole panel with the display off.
//
// Timing, from the HD44780U datasheet (VCC 4.5-5.5 V, fosc 270 kHz); a write that
// breaks a rule is still executed, and counted:
//   after power-on              15 ms before the first write
//   first function set          4.1 ms busy, while the interface is still 8-bit
//   second function set         100 us
//   clear, return home          1.52 ms
//   every other instruction     37 us, data writes too
//   E high (PWEH)               230 ns at least; E cycle (tcycE) 500 ns
//   RS, R/W setup before E rises (tAS) 40 ns; data setup before E falls (tDSW)
//   80 ns; RS, R/W and data held after E falls (tAH, tH) 10 ns; RS, R/W steady
//   while E is high
// A write (in 4-bit mode either of its nibbles) while the controller is busy
// counts once.
#pragma once
#include <array>
#include <cstdint>
#include <functional>
#include <string>

#include "event_queue.h"

namespace board {

class Gpio;

class Hd44780 {
 public:
  static constexpr int kCols = 16, kRows = 4;
  static constexpr int kD4 = 0, kE = 5, kRs = 8, kRw = 9;  // pins of port C; D5-D7 follow D4
  static constexpr uint8_t kRowStart[kRows] = {0x00, 0x40, 0x10, 0x50};

  Hd44780(EventQueue& events, Gpio& portc);

  // Character code shown at a cell (0x20 for a dark one).
  uint8_t cell(int row, int col) const;
  // A row as 16 characters: printable ASCII as it is, any other code as '?'.
  std::string row_text(int row) const;

  // Controller state.
  bool four_bit() const { return !eight_bit_; }
  bool two_lines() const { return two_lines_; }
  bool display_on() const { return display_on_; }
  uint8_t address() const { return ac_; }
  uint8_t ddram(uint8_t address) const { return ddram_[address & 0x7F]; }
  int shift() const { return shift_; }

  // Timing rules broken so far, and what the first one was.
  uint64_t violations() const { return violations_; }
  const std::string& first_violation() const { return first_violation_; }
  uint64_t instructions() const { return instructions_; }
  uint64_t data_writes() const { return data_writes_; }
  uint64_t reads() const { return reads_; }
  // Time of the last falling edge of E (0 before any).
  Cycles last_write() const { return last_fall_; }

  // Called after anything that may change what the panel shows.
  std::function<void()> on_change;
  // Called on each falling edge of E before the controller acts on it, while
  // last_write() still gives the edge before: how long the bus had been quiet.
  std::function<void()> on_bus_write;
  // Whether the controller has ever been given an instruction (set up by the
  // firmware); before that the display is dark.
  bool ever_instructed() const { return instructions_ != 0; }

 private:
  void pin_changed(int pin, bool level);
  void falling_edge();
  void execute(bool rs, uint8_t value);
  void instruction(uint8_t value);
  void data(uint8_t value);
  void step_address();
  // Characters of one DDRAM line: 40 in two-line mode, 80 in one-line mode.
  int line_length() const { return two_lines_ ? 40 : 80; }
  void busy_for(Cycles cycles);
  void violation(const char* what);
  void changed();

  EventQueue& events_;
  Gpio& port_;

  // Bus
  bool e_ = false;
  Cycles e_rise_ = 0, e_prev_rise_ = 0, last_fall_ = 0, control_change_ = 0, data_change_ = 0;
  bool any_rise_ = false, any_fall_ = false;
  bool high_nibble_next_ = true;  // 4-bit mode: the next nibble is a byte's upper half
  uint8_t upper_ = 0;
  bool upper_rs_ = false;
  const char* upper_early_ = nullptr;  // why the upper half came too early

  // Controller
  bool eight_bit_ = true;
  int function_sets_ = 0;  // function sets seen in 8-bit mode since power-on
  bool two_lines_ = false, display_on_ = false, cursor_ = false, blink_ = false;
  bool increment_ = true, entry_shift_ = false;
  bool cgram_ = false;  // data goes to CGRAM
  uint8_t ac_ = 0;
  int shift_ = 0;  // display shift, less than line_length()
  std::array<uint8_t, 0x80> ddram_{};
  std::array<uint8_t, 64> cgram_data_{};
  Cycles busy_until_ = 0;

  uint64_t violations_ = 0, instructions_ = 0, data_writes_ = 0, reads_ = 0;
  std::string first_violation_;
};

}  // namespace board
