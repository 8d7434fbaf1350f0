// The LCD model on its own port: the 4-bit bus, the instruction set, the panel's
// row addresses and the controller's timing rules.
#include "hd44780.h"

#include <gtest/gtest.h>

#include <string>

#include "gpio.h"

namespace {

using board::Cycles;
using board::Gpio;
using board::Hd44780;

constexpr Cycles us(double v) { return static_cast<Cycles>(v * 72); }
constexpr Cycles ms(double v) { return us(v * 1000); }

// A driver that owns time: every step of the bus takes as long as it is told.
class Bus {
 public:
  Bus() {
    c.write(Gpio::kCRL, 0x33333333u);  // all pins push-pull outputs
    c.write(Gpio::kCRH, 0x33333333u);
  }
  void wait(Cycles t) { q.advance_to(q.now() + t); }
  void set(int pin, bool level) { c.write(level ? Gpio::kBSRR : Gpio::kBRR, 1u << pin); }
  void put_nibble(uint8_t n) {
    for (int i = 0; i < 4; ++i) set(Hd44780::kD4 + i, (n >> i) & 1u);
  }
  // One strobe with the lines already set.
  void strobe(Cycles high = us(1)) {
    wait(us(1));
    set(Hd44780::kE, true);
    wait(high);
    set(Hd44780::kE, false);
    wait(us(1));
  }
  void nibble(bool rs, uint8_t n) {
    set(Hd44780::kRs, rs);
    put_nibble(n);
    strobe();
  }
  void byte(bool rs, uint8_t v, Cycles after) {
    nibble(rs, v >> 4);
    nibble(rs, v & 15);
    wait(after);
  }
  void command(uint8_t v) { byte(false, v, v <= 0x03 ? us(1600) : us(40)); }
  void text(const std::string& s) {
    for (char ch : s) byte(true, static_cast<uint8_t>(ch), us(40));
  }
  // The power-on sequence into 4-bit, two-line mode, display on, cleared.
  void init(uint8_t function_nibble = 0x8) {
    q.advance_to(ms(16));
    nibble(false, 0x3);
    wait(ms(4.2));
    nibble(false, 0x3);
    wait(us(110));
    nibble(false, 0x3);
    wait(us(40));
    nibble(false, 0x2);
    wait(us(40));
    byte(false, static_cast<uint8_t>(0x20 | function_nibble), us(40));
    command(0x0C);
    command(0x01);
    command(0x06);
  }

  board::EventQueue q;
  Gpio c{'C'};
  Hd44780 lcd{q, c};
};

TEST(Hd44780Model, InitialisesIntoFourBitModeWithTheBoardsRowAddresses) {
  Bus b;
  EXPECT_FALSE(b.lcd.four_bit());
  EXPECT_EQ(b.lcd.row_text(0), std::string(16, ' '));  // display off after power-on
  b.init();
  EXPECT_TRUE(b.lcd.four_bit());
  EXPECT_TRUE(b.lcd.two_lines());
  EXPECT_TRUE(b.lcd.display_on());
  const char* texts[] = {"row zero", "row one", "row two", "row three"};
  for (int row = 0; row < 4; ++row) {
    b.command(static_cast<uint8_t>(0x80 | Hd44780::kRowStart[row]));
    b.text(texts[row]);
  }
  EXPECT_EQ(b.lcd.row_text(0), "row zero        ");
  EXPECT_EQ(b.lcd.row_text(1), "row one         ");
  EXPECT_EQ(b.lcd.row_text(2), "row two         ");
  EXPECT_EQ(b.lcd.row_text(3), "row three       ");
  EXPECT_EQ(b.lcd.violations(), 0u) << b.lcd.first_violation();

  // Row 0 runs on into row 2; the end of the first line jumps to the second.
  b.command(0x80 | 0x0E);
  b.text("ABCD");
  EXPECT_EQ(b.lcd.row_text(0).substr(14), "AB");
  EXPECT_EQ(b.lcd.row_text(2).substr(0, 4), "CDw ");
  b.command(0x80 | 0x27);
  b.text("xy");
  EXPECT_EQ(b.lcd.ddram(0x27), 'x');
  EXPECT_EQ(b.lcd.row_text(1)[0], 'y');
  EXPECT_EQ(b.lcd.violations(), 0u) << b.lcd.first_violation();
}

TEST(Hd44780Model, ClearHomeShiftEntryModeAndDisplayOff) {
  Bus b;
  b.init();
  b.text("0123456789abcdefghij");
  EXPECT_EQ(b.lcd.row_text(0), "0123456789abcdef");
  b.command(0x18);  // display left
  b.command(0x18);
  EXPECT_EQ(b.lcd.row_text(0), "23456789abcdefgh");
  EXPECT_EQ(b.lcd.row_text(2), "ij              ");
  b.command(0x1C);  // and right again
  EXPECT_EQ(b.lcd.row_text(0), "123456789abcdefg");
  b.command(0x02);  // home: address 0 and no shift, text kept
  EXPECT_EQ(b.lcd.address(), 0);
  EXPECT_EQ(b.lcd.row_text(0), "0123456789abcdef");

  b.command(0x04);  // decrementing
  b.command(0x80 | 0x45);
  b.text("cba");
  EXPECT_EQ(b.lcd.row_text(1), "   abc          ");
  b.command(0x14);  // cursor right: address only
  EXPECT_EQ(b.lcd.address(), 0x43);

  b.command(0x08);  // display off: the panel is dark, the RAM kept
  EXPECT_EQ(b.lcd.row_text(0), std::string(16, ' '));
  b.command(0x0C);
  EXPECT_EQ(b.lcd.row_text(0), "0123456789abcdef");

  b.command(0x01);
  for (int row = 0; row < 4; ++row) EXPECT_EQ(b.lcd.row_text(row), std::string(16, ' '));
  b.text("z");  // clear sets incrementing again
  b.text("y");
  EXPECT_EQ(b.lcd.row_text(0).substr(0, 2), "zy");

  b.command(0x40);  // CGRAM: the glyph data does not land in the display
  b.text("\x1f\x11");
  b.command(0x80);
  EXPECT_EQ(b.lcd.row_text(0).substr(0, 3), "zy ");
  b.text(std::string(1, '\x00'));  // a CGRAM character, not printable
  EXPECT_EQ(b.lcd.row_text(0)[0], '?');
  EXPECT_EQ(b.lcd.violations(), 0u) << b.lcd.first_violation();
}

TEST(Hd44780Model, OneLineModeLeavesRowsOneAndThreeDark) {
  Bus b;
  b.init(0x0);
  EXPECT_FALSE(b.lcd.two_lines());
  b.command(0x80 | 0x40);
  b.text("hidden");
  b.command(0x80 | 0x10);
  b.text("second half");
  EXPECT_EQ(b.lcd.row_text(1), std::string(16, ' '));
  EXPECT_EQ(b.lcd.row_text(3), std::string(16, ' '));
  EXPECT_EQ(b.lcd.row_text(2), "second half     ");
  EXPECT_EQ(b.lcd.violations(), 0u) << b.lcd.first_violation();
}

TEST(Hd44780Model, EachBusyRuleIsCountedOncePerWrite) {
  Bus early;
  early.q.advance_to(ms(14));
  early.nibble(false, 0x3);
  EXPECT_EQ(early.lcd.violations(), 1u);  // less than 15 ms after power-on

  Bus b;
  b.q.advance_to(ms(15));
  b.nibble(false, 0x3);
  EXPECT_EQ(b.lcd.violations(), 0u);
  b.wait(ms(2));
  b.nibble(false, 0x3);  // the first function set needs 4.1 ms
  EXPECT_EQ(b.lcd.violations(), 1u);
  b.wait(us(50));
  b.nibble(false, 0x3);  // the second 100 us
  EXPECT_EQ(b.lcd.violations(), 2u);
  b.wait(us(40));
  b.nibble(false, 0x2);
  b.wait(us(40));
  b.byte(false, 0x28, us(40));
  b.byte(false, 0x0C, us(10));
  b.byte(false, 0x06, us(40));  // 37 us for an ordinary instruction; both nibbles early, one count
  EXPECT_EQ(b.lcd.violations(), 3u);
  b.byte(true, 'a', us(10));
  b.byte(true, 'b', us(40));  // data writes too
  EXPECT_EQ(b.lcd.violations(), 4u);
  b.byte(false, 0x01, ms(1.4));
  b.text("c");  // clear takes 1.52 ms from its second nibble
  EXPECT_EQ(b.lcd.violations(), 5u);
  b.byte(false, 0x02, ms(1.52));
  b.text("d");
  EXPECT_EQ(b.lcd.violations(), 5u);
  b.byte(false, 0x02, ms(1.3));  // so does home
  b.text("e");
  EXPECT_EQ(b.lcd.violations(), 6u);
  // The writes were executed all the same.
  EXPECT_EQ(b.lcd.row_text(0).substr(0, 1), "e");
  EXPECT_NE(b.lcd.first_violation().find("busy"), std::string::npos);
}

TEST(Hd44780Model, EnablePulseAndSetupRules) {
  Bus b;
  b.init();
  const uint64_t writes = b.lcd.data_writes();
  b.set(Hd44780::kRs, true);
  b.put_nibble(0x4);
  b.strobe(10);  // 139 ns high
  EXPECT_EQ(b.lcd.violations(), 1u);
  b.put_nibble(0x1);
  b.strobe(17);  // 236 ns is enough
  EXPECT_EQ(b.lcd.violations(), 1u);
  EXPECT_EQ(b.lcd.data_writes(), writes + 1);
  b.wait(us(40));

  // Data set in the same instant as E falls.
  b.put_nibble(0x4);
  b.strobe();
  b.wait(us(40));
  b.set(Hd44780::kE, true);
  b.wait(us(1));
  b.c.write(Gpio::kBSRR, (1u << (16 + Hd44780::kE)) | (1u << Hd44780::kD4));
  EXPECT_EQ(b.lcd.violations(), 2u);
  b.wait(us(40));

  // RS moved while E is high, and E raised twice within 500 ns.
  b.set(Hd44780::kRs, false);
  b.put_nibble(0x0);
  b.wait(us(1));
  b.set(Hd44780::kE, true);
  b.set(Hd44780::kRs, true);
  EXPECT_EQ(b.lcd.violations(), 3u);
  b.wait(20);
  b.set(Hd44780::kE, false);
  b.wait(5);
  b.set(Hd44780::kE, true);
  EXPECT_EQ(b.lcd.violations(), 4u);
}

}  // namespace
