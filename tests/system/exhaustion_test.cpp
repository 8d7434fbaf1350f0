// The kernel heap filled up through the console: variables until the store is
// refused, a ramp table that cannot fit, and the LCD task drawing meanwhile.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "FreeRTOS.h"
#include "console_session.h"
#include "engine.h"
#include "lcd_view.h"

namespace {

using board::Key;

struct Stored {
  std::string name, value;
};

std::string refused(const char* setter, const std::string& name) {
  return std::string("Fun:") + setter + " ERROR! Out of memory!\r\nResult FAIL. Var " + name +
         " not found or other error";
}

// Text variables of 30 characters until the store refuses one, then numbers
// until it refuses even those; returns the texts made (the numbers are n0, n1...).
std::vector<Stored> fill_the_heap(ConsoleSession& s, int* numbers = nullptr) {
  std::vector<Stored> made;
  for (int i = 0;; ++i) {
    std::string name = "f";  // appended: GCC 12 at -O3 warns wrongly of overlap in "f" + text
    name += std::to_string(i);
    const std::string value = std::string(28, static_cast<char>('a' + i % 26)) + std::to_string(i % 10) + "!";
    const std::string got = s.run("var_set " + name + " str " + value);
    if (got == refused("storage_set_str", name)) break;
    EXPECT_EQ(got, "Result OK.");
    if (got != "Result OK." || i == 400) return made;
    made.push_back({name, value});
  }
  for (int i = 0; i < 400; ++i) {
    std::string name = "n";
    name += std::to_string(i);
    const std::string got = s.run("var_set " + name + " int " + std::to_string(i));
    if (got == refused("storage_set_num", name)) {
      if (numbers != nullptr) *numbers = i;
      return made;
    }
    EXPECT_EQ(got, "Result OK.");
    if (got != "Result OK.") return made;
  }
  ADD_FAILURE() << "the heap never refused";
  return made;
}

TEST(Exhaustion, AFullStoreKeepsItsVariablesAndEveryCommandAnswers) {
  ConsoleSession s;
  int numbers = 0;
  const std::vector<Stored> made = fill_the_heap(s, &numbers);
  ASSERT_GT(made.size(), 10u);

  std::string listing =
      "Vars:\r\nsys_st type:Int Val: 0x0(0)\r\nlcd_info type:Str Val: \r\nvar1 type:Str Val: Hello\r\n"
      "var4 type:Int Val: 0x4d2(1234)\r\nvar3 type:Int Val: 0x0(0)\r\n";
  for (const Stored& v : made) listing += v.name + " type:Str Val: " + v.value + "\r\n";
  for (int i = 0; i < numbers; ++i) {
    char line[80];
    std::snprintf(line, sizeof line, "n%d type:Int Val: 0x%x(%d)\r\n", i, i, i);
    listing += line;
  }
  EXPECT_EQ(s.run("listv"), listing);
  for (const Stored& v : {made.front(), made[made.size() / 2], made.back()})
    EXPECT_EQ(s.run("var_get " + v.name), "Var " + v.name + "=" + v.value);
  // Overwriting with a text of the same length needs a new copy first: refused,
  // and the old text stays.
  const Stored& first = made.front();
  EXPECT_EQ(s.run("var_set " + first.name + " str " + std::string(30, 'z')),
            refused("storage_set_str", first.name));
  EXPECT_EQ(s.run("var_get " + first.name), "Var " + first.name + "=" + first.value);
  // A number in an existing record needs no memory.
  EXPECT_EQ(s.run("var_set var3 int 7"), "Result OK.");
  EXPECT_EQ(s.run("var_get var3"), "Var var3=0x7(7)");

  // Commands that need no heap answer as ever.
  EXPECT_EQ(s.run("backup_set 2 513"), "Result OK.");
  EXPECT_EQ(s.run("backup_get 2"), "Result: 0x201(513)");
  EXPECT_EQ(s.run("help e3on"), "Command e3on:\nEngine3 turn on.");
  EXPECT_EQ(s.run("nosuch"), "Command not found.");
  EXPECT_EQ(s.run("e3on"), "Engine3 turn on.");
  EXPECT_EQ(s.run("e3pulse 300"), "Engine3 pulse changed.");
  EXPECT_EQ(s.run("e3dir 1"), "Engine3 change direction=1.");
  EXPECT_EQ(s.run("e3info"),
            "Engine3 setup:\r\npulse: 300\r\nfrequency: 10000000\r\nperiod: 1000\r\ndirection: 1\r\n");
  EXPECT_EQ(s.run("e3acc 60000"), "Engine3 calc: type=0 min=1000 max=400 time=60000\nError.\r\n");
  EXPECT_EQ(s.run("e3off"), "Engine3 turn off.");
  EXPECT_EQ(s.run("led -n=1 -f=on"), "Led BLUE = ON");
  EXPECT_EQ(s.run("lcd_menu Test1"), "OK");
  EXPECT_NE(s.run("listt").find("        CONSOLE PR:0x2 STACK:0x036e FLAG:Run\r\n"), std::string::npos);

  // Room made by a deletion is found again by the same request.
  EXPECT_EQ(s.run("var_del " + made[3].name), "Result OK. Var " + made[3].name + " was delete");
  EXPECT_EQ(s.run("var_set again str " + made[3].value), "Result OK.");
  EXPECT_EQ(s.run("var_get again"), "Var again=" + made[3].value);
  EXPECT_FALSE(s.machine().halted());
}

// The motor is running a profile when a longer one is asked for that cannot fit:
// the old table has gone, so the motor must not go on reading it.
TEST(Exhaustion, ARampTooLongForTheHeapIsRefusedAndNothingReadsTheOldTable) {
  ConsoleSession s;
  EXPECT_EQ(s.run("e3on"), "Engine3 turn on.");
  EXPECT_EQ(s.run("e3acc 4000"), "Engine3 calc: type=0 min=1000 max=400 time=4000\nOK.\r\n");
  s.machine().run_until(s.machine().now() + sim::seconds(1));
  ASSERT_NE(engine3_acceleration_index, 0u);
  // 9375 steps of two bytes: more than the whole heap.
  EXPECT_EQ(s.run("e3acc 60000"), "Engine3 calc: type=0 min=1000 max=400 time=60000\nError.\r\n");
  EXPECT_EQ(engine3_acceleration_index, 0u);
  EXPECT_EQ(engine3_addr_get<uint16_t>(&engine3_pointer_to_acceleration), nullptr);
  // The pulse stays where the refused ramp found it.
  const uint32_t pulse = engine3_pulse;
  s.machine().run_until(s.machine().now() + sim::seconds(2));
  EXPECT_EQ(engine3_pulse, pulse);
  EXPECT_EQ(s.run("e3off"), "Engine3 turn off.");
  EXPECT_TRUE(s.board().gpioa.odr() & (1u << 5)) << "the power stage is still enabled";
  // The heap is not worse for it: a ramp that fits still does.
  EXPECT_EQ(s.run("e3acc 4000"), "Engine3 calc: type=0 min=1000 max=400 time=4000\nOK.\r\n");
  EXPECT_FALSE(s.machine().halted());
}

std::string settled_screen(ConsoleSession& s) {
  board::Hd44780& lcd = s.board().lcd;
  const uint64_t writes = lcd.data_writes();
  s.machine().run_while(
      [&] {
        return lcd.data_writes() == writes || s.machine().now() - lcd.last_write() < sim::seconds(0.01);
      },
      sim::seconds(0.001), s.machine().now() + sim::seconds(2));
  return sim::lcd_screen(lcd);
}

void tap(ConsoleSession& s, Key k) {
  s.board().keypad.press(k);
  s.machine().run_until(s.machine().now() + sim::seconds(0.3));
  s.board().keypad.release(k);
  s.machine().run_until(s.machine().now() + sim::seconds(0.3));
}

// The LCD task renders and reads key bindings with temporary heap strings.
TEST(Exhaustion, TheLcdKeepsDrawingWithTheHeapFullAndRecovers) {
  sim::Options o;
  o.lcd_task = true;
  ConsoleSession s(o);
  EXPECT_EQ(s.run("lcd_menu Test1"), "OK");
  // Most of the room in one block, a ramp's table (the motor stays off), so that
  // few commands fill the rest.
  EXPECT_EQ(s.run("e3acc 7000"), "Engine3 calc: type=0 min=1000 max=400 time=7000\nOK.\r\n");
  const std::vector<Stored> made = fill_the_heap(s);
  ASSERT_GT(made.size(), 2u);
  // Not even a small block left: a press may go unread, but nothing worse.
  tap(s, Key::up);
  tap(s, Key::up);
  s.machine().run_until(s.machine().now() + sim::seconds(2));
  EXPECT_FALSE(s.machine().halted());
  const std::string var4 = s.run("var_get var4");
  unsigned before = 0;
  ASSERT_EQ(std::sscanf(var4.c_str(), "Var var4=0x%*x(%u)", &before), 1) << var4;

  // Room for the task's strings again: the next press acts.
  for (const Stored& v : made)
    EXPECT_EQ(s.run("var_del " + v.name), "Result OK. Var " + v.name + " was delete");
  tap(s, Key::up);
  char want[40];
  std::snprintf(want, sizeof want, "Var4:0x%04x     \n", before + 1);
  const std::string screen = settled_screen(s);
  EXPECT_EQ(screen.substr(0, 17), "Sys_st:TEST.    \n") << screen;
  EXPECT_EQ(screen.substr(34, 17), want) << screen;
  EXPECT_EQ(s.board().lcd.violations(), 0u) << s.board().lcd.first_violation();
}

}  // namespace
