// The LCD menus on the simulated board: the LCD task with the keys, the console's
// LCD commands, and tarvik-sim's --lcd and --lcd-task.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "command.h"
#include "console_session.h"
#include "lcd_menu.h"
#include "lcd_view.h"
#include "main.h"
#include "refstorage.h"
#include "storage.h"
#include "task.h"

namespace {

using board::Key;

std::string screen(const std::string& r0, const std::string& r1 = "", const std::string& r2 = "",
                   const std::string& r3 = "") {
  std::string out;
  for (const std::string* r : {&r0, &r1, &r2, &r3}) out += *r + std::string(16 - r->size(), ' ') + "\n";
  return out;
}

const std::string kTestMode = screen("   Test mode.   ", "Console connect.", "var1:Hello");
const std::string kWorkMode = screen("   Work mode.   ", "Test############", "var1:Hello");
std::string test1(const char* state, const char* var4) {
  return screen(std::string("Sys_st:") + state + ".", "Var3:000    .", std::string("Var4:") + var4);
}
const std::string kInfo = screen("Hello world", "var1:Hello", "lcd_infoeeeeeeee", "TESTstTESTHello");
const std::string kDark = screen("");

sim::Options with_lcd_task() {
  sim::Options o;
  o.lcd_task = true;
  return o;
}

class Panel {
 public:
  explicit Panel(ConsoleSession& s) : s_(s), lcd_(s.board().lcd) {}

  // The display once the next whole screen is up: a character drawn from now on,
  // then the bus quiet for 10 ms, as while the LCD task sleeps between redraws.
  std::string settled() {
    const sim::Cycles limit = s_.machine().now() + sim::seconds(2);
    const uint64_t writes = lcd_.data_writes();
    s_.machine().run_while(
        [&] {
          return lcd_.data_writes() == writes || s_.machine().now() - lcd_.last_write() < sim::seconds(0.01);
        },
        sim::seconds(0.001), limit);
    return sim::lcd_screen(lcd_);
  }
  // A press the LCD task sees once, then the release.
  void tap(Key k) {
    s_.board().keypad.press(k);
    run(0.3);
    s_.board().keypad.release(k);
    run(0.3);
  }
  void run(double seconds) { s_.machine().run_until(s_.machine().now() + sim::seconds(seconds)); }

 private:
  ConsoleSession& s_;
  board::Hd44780& lcd_;
};

std::string current_name() {
  if (LCD_CURRENT == nullptr) return "<none>";
  char* name = lcd_parser_tokens_c(LCD_CURRENT, '@', 0);
  const std::string out = name ? name : "<no name>";
  vPortFree(name);
  return out;
}

TEST(LcdTask, TestModeFirstThenKeysWalkTheMenus) {
  ConsoleSession s(with_lcd_task());
  Panel p(s);
  EXPECT_EQ(fTasks[3].flags, TASK_AUTOSTART | TASK_RUNNING);
  EXPECT_EQ(p.settled(), kTestMode);
  p.tap(Key::up);
  EXPECT_EQ(p.settled(), test1("TEST", "0x04d2"));
  p.tap(Key::up);
  EXPECT_EQ(p.settled(), test1("TEST", "0x04d3"));
  EXPECT_EQ(s.run("var_get var4"), "Var var4=0x4d3(1235)");
  p.tap(Key::down);
  p.tap(Key::down);
  EXPECT_EQ(p.settled(), test1("TEST", "0x04d1"));
  p.tap(Key::esc);
  EXPECT_EQ(p.settled(), test1("WORK", "0x04d1"));
  p.tap(Key::esc);
  EXPECT_EQ(p.settled(), test1("TEST", "0x04d1"));
  p.tap(Key::enter);
  EXPECT_EQ(p.settled(), kTestMode);
  p.tap(Key::down);  // no binding on TestMode
  EXPECT_EQ(p.settled(), kTestMode);
  p.tap(Key::up);
  p.tap(Key::stop);
  EXPECT_EQ(p.settled(), kTestMode);
  p.tap(Key::up);
  p.tap(Key::start);
  EXPECT_EQ(p.settled(), kTestMode);
  EXPECT_EQ(s.board().lcd.violations(), 0u) << s.board().lcd.first_violation();
}

TEST(LcdTask, AHeldKeyActsOnce) {
  ConsoleSession s(with_lcd_task());
  Panel p(s);
  EXPECT_EQ(p.settled(), kTestMode);
  // Held for about a dozen cycles: Test1's own UP binding is not reached.
  s.board().keypad.press(Key::up);
  p.run(1.0);
  EXPECT_EQ(p.settled(), test1("TEST", "0x04d2"));
  s.board().keypad.release(Key::up);
  p.run(0.3);
  EXPECT_EQ(p.settled(), test1("TEST", "0x04d2"));
  p.tap(Key::up);
  EXPECT_EQ(p.settled(), test1("TEST", "0x04d3"));
  EXPECT_EQ(s.board().lcd.violations(), 0u) << s.board().lcd.first_violation();
}

TEST(LcdTask, WorkModeWhenTheSystemStartsInWork) {
  ConsoleSession s(with_lcd_task());
  Panel p(s);
  // The default variables exist, the LCD task is still setting the display up.
  sData* state = nullptr;
  for (sData* d = STORAGE; d != nullptr; d = d->next)
    if (std::string(d->name) == "sys_st") state = d;
  ASSERT_NE(state, nullptr);
  ASSERT_EQ(s.board().lcd.data_writes(), 0u);
  state->value = storage_num_value(ST_WORK);

  EXPECT_EQ(p.settled(), kWorkMode);
  for (Key k : {Key::up, Key::down, Key::esc, Key::enter, Key::start, Key::stop}) p.tap(k);
  EXPECT_EQ(p.settled(), kWorkMode);
  EXPECT_EQ(LCD_CURRENT, fMenu[1]);
  // Only the console changes the screen then.
  EXPECT_EQ(s.run("lcd_menu Test1"), "OK");
  EXPECT_EQ(p.settled(), test1("WORK", "0x04d2"));
  EXPECT_EQ(s.board().lcd.violations(), 0u) << s.board().lcd.first_violation();
}

TEST(LcdConsole, CommandsDrawOnTheDisplayTheTaskKeepsRedrawing) {
  ConsoleSession s(with_lcd_task());
  Panel p(s);
  EXPECT_EQ(p.settled(), kTestMode);
  // What the console task itself leaves on the display, apart from the LCD task.
  std::vector<std::string> drawn;
  board::Board& b = s.board();
  b.lcd.on_change = [&] {
    if (xTaskGetCurrentTaskHandle() == fTasks[1].handle) drawn.push_back(sim::lcd_screen(b.lcd));
  };

  EXPECT_EQ(s.run("info -n=2 anything"), "");
  ASSERT_FALSE(drawn.empty());
  EXPECT_EQ(drawn.back(), kInfo);
  EXPECT_EQ(current_name(), "Test");
  EXPECT_EQ(p.settled(), kInfo);
  p.tap(Key::up);  // the test screen binds no key
  EXPECT_EQ(p.settled(), kInfo);

  drawn.clear();
  EXPECT_EQ(s.run("lcd_str \"@Mine@^a b ~var4~^^ ~sys_st~^\""), "OK");
  const std::string mine = screen("a b 0x04d2", " TEST");
  ASSERT_FALSE(drawn.empty());
  EXPECT_EQ(drawn.back(), mine);
  EXPECT_EQ(p.settled(), mine);  // the typed text has gone, its copy stays current
  EXPECT_EQ(current_name(), "Mine");

  drawn.clear();
  EXPECT_EQ(s.run("lcd_menu Nope"), "OK");
  EXPECT_EQ(drawn, std::vector<std::string>{kDark});
  EXPECT_EQ(current_name(), "Mine");
  EXPECT_EQ(p.settled(), mine);  // back at the LCD task's next cycle

  EXPECT_EQ(s.run("lcd_menu Test1"), "OK");
  EXPECT_EQ(p.settled(), test1("TEST", "0x04d2"));

  drawn.clear();
  EXPECT_EQ(s.run("clr"), "");
  EXPECT_EQ(drawn, std::vector<std::string>{kDark});
  EXPECT_EQ(p.settled(), test1("TEST", "0x04d2"));
  EXPECT_EQ(b.lcd.violations(), 0u) << b.lcd.first_violation();
  b.lcd.on_change = nullptr;
}

TEST(LcdConsole, MissingWordsAndTheShippedTableLeaveTheDisplayAlone) {
  ConsoleSession s;  // the LCD task is not started
  EXPECT_EQ(s.run("info"), "Parameter is empty.");
  EXPECT_EQ(s.run("info -n=2"), "Parameter is empty.");
  EXPECT_EQ(s.run("lcd_menu"), "Parameter is empty.");
  EXPECT_EQ(s.run("lcd_str"), "Parameter is empty.");
  EXPECT_EQ(s.run("info text"), "");
  EXPECT_EQ(s.run("clr"), "");
  EXPECT_EQ(s.run("lcd_menu Test1"), "OK");
  EXPECT_EQ(s.run("lcd_str @A@^b^"), "OK");
  EXPECT_NE(s.run("listt").find("            LCD PR:0x2 STACK:0x01de FLAG:NotRun\r\n"), std::string::npos);
  // Not a pin of the display has moved.
  EXPECT_EQ(s.board().lcd.last_write(), 0u);
  EXPECT_EQ(s.board().gpioc.mode(board::Hd44780::kE), 0x4);
  EXPECT_EQ(s.board().gpioc.odr() & 0x032F, 0);
}

TEST(LcdConsole, HelpListsTheTwentyNineCommands) {
  ConsoleSession s;
  EXPECT_EQ(s.run("help"),
            "help info clr listt_ex listt delt led backup_crc \r\n"
            "backup_set backup_get backup_list listv var_set var_get var_del e3on \r\n"
            "e3off e3acc e3pid e3target e3info e3dir e3pulse e3period \r\n"
            "keys freq3 lcd_menu lcd_str aly ");
  EXPECT_EQ(
      s.run("help info"),
      "Command info:\nPrint message over LCD\r\ninfo -n=<num> <str> \r\nwhere: <num>-number of lcd string");
  EXPECT_EQ(s.run("help clr"), "Command clr:\nClear LCD");
  EXPECT_EQ(s.run("help lcd_menu"), "Command lcd_menu:\nShow LCD menu string.\r\n lcd_menu <menu_name>");
  EXPECT_EQ(s.run("help lcd_str"), "Command lcd_str:\nShow LCD info string.\r\n lcd_str <menu_str>");
}

TEST(LcdSim, LcdFileHoldsTheLastScreen) {
  const std::string path = ::testing::TempDir() + "lcd_screen.txt";
  sim::Options o = with_lcd_task();
  o.lcd_file = path;
  ConsoleSession s(o);
  Panel p(s);
  EXPECT_EQ(p.settled(), kTestMode);
  EXPECT_EQ(s.machine().finish(), "");
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_EQ(text.str(), "   Test mode.   \nConsole connect.\nvar1:Hello      \n                \n");
  std::remove(path.c_str());
}

int status_of(const std::string& args) {
  const std::string cmd = "printf '' | " TARVIK_SIM_PATH " " + args + " >/dev/null 2>&1";
  const int st = std::system(cmd.c_str());
  return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

TEST(LcdSim, LcdOptionsOnTheCommandLine) {
  const std::string path = ::testing::TempDir() + "lcd_cli.txt";
  EXPECT_EQ(status_of("--batch --until 0.5 --lcd " + path), 0);
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_EQ(text.str(), kDark);  // as shipped the display is never switched on
  std::remove(path.c_str());
  EXPECT_EQ(status_of("--batch --until 0.5 --lcd-task"), 0);
  EXPECT_EQ(status_of("--batch --lcd"), 2);
  EXPECT_EQ(status_of("--batch --lcd /no/such/folder/screen.txt"), 2);
}

// A whole screen, whenever the run ends: the LCD task redraws every 85 ms or so,
// a third of it spent drawing, so many of these end times fall mid-redraw.
TEST(LcdSim, LcdFileHoldsTheSameWholeScreenWhateverTheEndTime) {
  const std::string path = ::testing::TempDir() + "lcd_whole.txt." + std::to_string(getpid());
  for (int ms = 900; ms < 1300; ms += 23) {
    const CommandResult r =
        run_command("printf '' | " TARVIK_SIM_PATH " --lcd-task --keys up@0.5s+300ms --until " +
                    std::to_string(ms / 1000.0) + " --lcd " + path + " 2>&1 >/dev/null");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out, "") << ms << " ms";
    EXPECT_EQ(read_file(path), test1("TEST", "0x04d2")) << ms << " ms";
  }
  std::remove(path.c_str());
}

TEST(LcdSim, LcdLogHoldsEveryNewWholeScreenOfAMenuWalkInTimeOrder) {
  const std::string path = ::testing::TempDir() + "lcd_log.txt." + std::to_string(getpid());
  const CommandResult r =
      run_command("printf '' | " TARVIK_SIM_PATH
                  " --lcd-task --until 3.5 --keys "
                  "up@0.5s+300ms,up@1.1s+300ms,down@1.7s+300ms,esc@2.3s+300ms,enter@2.9s+300ms"
                  " --lcd-log " +
                  path + " 2>&1 >/dev/null");
  EXPECT_EQ(r.status, 0) << r.out;
  const std::string log = read_file(path);
  std::remove(path.c_str());
  std::vector<std::string> screens;
  std::vector<double> times;
  for (size_t at = 0; at < log.size();) {
    ASSERT_EQ(log.compare(at, 2, "t="), 0) << log.substr(at);
    const size_t eol = log.find('\n', at);
    times.push_back(std::stod(log.substr(at + 2, eol - at - 2)));
    size_t end = eol + 1;
    for (int row = 0; row < 4; ++row) end = log.find('\n', end) + 1;
    ASSERT_NE(end, 0u) << log;
    screens.push_back(log.substr(eol + 1, end - eol - 1));
    at = end;
  }
  const std::vector<std::string> expected = {kTestMode,
                                             test1("TEST", "0x04d2"),
                                             test1("TEST", "0x04d3"),
                                             test1("TEST", "0x04d2"),
                                             test1("WORK", "0x04d2"),
                                             kTestMode};
  EXPECT_EQ(screens, expected) << log;
  // Each comes up after the key that brings it, within a redraw cycle or two.
  const double keys[] = {0, 0.5, 1.1, 1.7, 2.3, 2.9};
  ASSERT_EQ(times.size(), 6u);
  for (size_t i = 0; i < times.size(); ++i) {
    EXPECT_GT(times[i], keys[i]) << i;
    EXPECT_LT(times[i], keys[i] + 0.25) << i;
  }
}

TEST(LcdSim, LcdFileOfADisplayNeverSetUpSaysSo) {
  const std::string path = ::testing::TempDir() + "lcd_dark.txt." + std::to_string(getpid());
  const CommandResult r =
      run_command("printf '' | " TARVIK_SIM_PATH " --until 0.5 --lcd " + path + " 2>&1 >/dev/null");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "tarvik-sim: --lcd: no whole screen was ever up (the display was never set up); " + path +
                       " holds the display at the end\n");
  EXPECT_EQ(read_file(path), kDark);
  std::remove(path.c_str());
}

}  // namespace
