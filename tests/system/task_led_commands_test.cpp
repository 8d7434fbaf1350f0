// The task list, task deletion and the LEDs through the console of a simulated board.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "FreeRTOS.h"
#include "console_session.h"
#include "main.h"

namespace {

std::string row_line(const char* name, unsigned stack, bool running) {
  char text[80];
  std::snprintf(text, sizeof text, "%15s PR:0x2 STACK:0x%04x FLAG:%s\r\n", name, stack,
                running ? "Run" : "NotRun");
  return text;
}

// Rows created at start-up run; REFSTORAGE as given.
std::string task_list(bool refstorage_running) {
  std::string out;
  out += row_line("NAME", 478, false);
  out += row_line("CONSOLE", 878, true);
  out += row_line("REFSTORAGE", 478, refstorage_running);
  out += row_line("LCD", 478, false);
  out += row_line("KEYS", 478, (fTasks[4].flags & TASK_AUTOSTART) != 0);
  out += row_line("RS485", 878, (fTasks[5].flags & TASK_AUTOSTART) != 0);
  return out;
}

TEST(TaskCommands, ListDeleteAndRowsThatDoNotRun) {
  ConsoleSession s;
  EXPECT_EQ(s.run("listt"), task_list(true));
  EXPECT_EQ(s.run("listt_ex"), "Command doesn't support");

  // REFSTORAGE has made the variables and suspended itself.
  const xTaskHandle refstorage = fTasks[2].handle;
  ASSERT_NE(refstorage, nullptr);
  const size_t free_before = xPortGetFreeHeapSize();
  char done[64];
  std::snprintf(done, sizeof done, "delt complite handle:0x%x",
                static_cast<unsigned>(reinterpret_cast<uintptr_t>(refstorage)));
  EXPECT_EQ(s.run("delt REFSTORAGE"), done);
  EXPECT_EQ(s.run("listt"), task_list(false));
  EXPECT_EQ(fTasks[2].handle, refstorage);
  // The idle task has given back its control block and stack.
  EXPECT_EQ(xPortGetFreeHeapSize(), free_before + portBOARD_TCB_SIZE + 8 + 478 * 4 + 8);
  // Its variables stay.
  EXPECT_EQ(s.run("var_get var1"), "Var var1=Hello");

  // A row that does not run is never handed to the kernel.
  EXPECT_EQ(s.run("delt REFSTORAGE"), "Task REFSTORAGE is not running.");
  EXPECT_EQ(s.run("delt NAME"), "Task NAME is not running.");
  EXPECT_EQ(s.run("delt LCD"), "Task LCD is not running.");
  EXPECT_EQ(s.run("delt rs485"), "Task rs485 not found.");
  EXPECT_EQ(s.run("delt"), "Parameter is empty.");
  EXPECT_EQ(s.run("listt"), task_list(false));  // the console is still here
}

TEST(TaskCommands, DeletingTheConsoleEndsIt) {
  sim::Options opt;
  opt.until_s = 2;  // nobody takes the rest of the input
  const sim::BatchResult r = sim::run_batch("delt CONSOLE\rlistt\r", opt);
  const std::string tail = "console>delt CONSOLE\r\n";
  ASSERT_GE(r.console.size(), tail.size());
  EXPECT_EQ(r.console.substr(r.console.size() - tail.size()), tail);  // no message, no prompt, no echo
  EXPECT_EQ(fTasks[1].flags, TASK_AUTOSTART);
  EXPECT_EQ(r.exit_status, 0);
}

// Which LEDs are lit; each is lit while its pin is low.
std::string lit(ConsoleSession& s) {
  const bool green = !s.board().gpioa.level(11), blue = !s.board().gpioa.level(12);
  return green && blue ? "both" : green ? "green" : blue ? "blue" : "none";
}

TEST(LedCommands, FlagsInEitherOrderSwitchThePins) {
  ConsoleSession s;
  EXPECT_EQ(lit(s), "both");  // the latches start at 0
  EXPECT_EQ(s.run("led -n=1 -f=off"), "Led BLUE = OFF");
  EXPECT_EQ(s.run("led -f=off -n=0"), "Led GREEN = OFF");
  EXPECT_EQ(lit(s), "none");

  EXPECT_EQ(s.run("led -n=1 -f=on"), "Led BLUE = ON");
  EXPECT_EQ(lit(s), "blue");
  EXPECT_EQ(s.run("led -n=1 -f=OFF"), "Led BLUE = OFF");  // only "on" lights
  EXPECT_EQ(s.run("led -f=on -n=1"), "Led BLUE = ON");
  EXPECT_EQ(lit(s), "blue");
  EXPECT_EQ(s.run("led -n=1 -f=off"), "Led BLUE = OFF");

  // Without an n flag the green LED is meant, and one "on" is enough.
  EXPECT_EQ(s.run("led -f=on -f=off"), "Led GREEN = ON");
  EXPECT_EQ(lit(s), "green");
  EXPECT_EQ(s.run("led -n=0 -f=off"), "Led GREEN = OFF");

  // The first word's number may be hexadecimal; the second's is decimal only.
  EXPECT_EQ(s.run("led -n=0x1 -f=on"), "Led BLUE = ON");
  EXPECT_EQ(lit(s), "blue");
  EXPECT_EQ(s.run("led -f=on -n=0x1"), "Led GREEN = ON");
  EXPECT_EQ(lit(s), "both");
}

TEST(LedCommands, BadWordsChangeNothing) {
  ConsoleSession s;
  EXPECT_EQ(s.run("led -n=1 -f=off"), "Led BLUE = OFF");
  EXPECT_EQ(lit(s), "green");
  EXPECT_EQ(s.run("led -n=5 -f=off"), "");  // no such LED
  EXPECT_EQ(s.run("led -x=1 -f=off"), "Wrong parameter -x=1");
  EXPECT_EQ(s.run("led -f=off -x=1"), "");  // a bad second word is refused silently
  EXPECT_EQ(s.run("led"), "Parameter is empty.");
  EXPECT_EQ(s.run("led -f=off"), "Parameter is empty.");
  EXPECT_EQ(lit(s), "green");
}

}  // namespace
