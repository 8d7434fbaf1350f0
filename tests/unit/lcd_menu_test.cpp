// The screen template language: item pairing, binding reading, the line renderer
// over the variable store, and drawing templates on the board's display.
#include "lcd_menu.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "board.h"
#include "lcd16_4_4bit.h"
#include "lcd_task.h"
#include "main.h"
#include "refstorage.h"
#include "semphr.h"
#include "storage.h"
#include "task_runner.h"

namespace {

// A string the firmware allocated, given back to the kernel heap.
std::string take(char* s) {
  if (s == nullptr) return "<none>";
  std::string out = s;
  vPortFree(s);
  return out;
}

std::string item(const char* str, char token, uint8_t num) {
  return take(lcd_parser_tokens_c(str, token, num));
}

TEST(LcdParser, ItemsPairAcrossOtherDelimiters) {
  const char* screen = "@Name@^   Test mode.   ^^Console connect.^#up:2:var4##do:3:var4#";
  EXPECT_EQ(item(screen, '@', 0), "Name");
  EXPECT_EQ(item(screen, '@', 1), "<none>");
  EXPECT_EQ(item(screen, '^', 0), "   Test mode.   ");
  EXPECT_EQ(item(screen, '^', 1), "Console connect.");
  EXPECT_EQ(item(screen, '^', 2), "<none>");
  EXPECT_EQ(item(screen, '#', 0), "up:2:var4");
  EXPECT_EQ(item(screen, '#', 1), "do:3:var4");
  EXPECT_EQ(item(screen, '#', 2), "<none>");

  // An empty item exists; a missing closing delimiter ends the items.
  EXPECT_EQ(item("^^x^", '^', 0), "");
  EXPECT_EQ(item("^^x^", '^', 1), "<none>");
  EXPECT_EQ(item("^a^^b", '^', 1), "<none>");
  // A delimiter in another element's text still counts.
  EXPECT_EQ(item("@n@^a#b^#", '#', 0), "b^");
}

TEST(LcdParser, WorkModeHasSevenEmptyBindings) {
  const char* work_mode = fMenu[1];
  ASSERT_EQ(item(work_mode, '@', 0), "WorkMode");
  for (uint8_t n = 0; n < 7; ++n) EXPECT_EQ(item(work_mode, '#', n), "") << n;
  EXPECT_EQ(item(work_mode, '#', 7), "<none>");
  EXPECT_EQ(item(work_mode, '^', 1), "Test############");
  EXPECT_EQ(fMenu[3], nullptr);
}

TEST(LcdParser, AfterTokensAndLength) {
  const char* binding = "en:1:Test:1";
  EXPECT_EQ(lcd_parser_after_tokens(binding, ':', 0), binding);
  EXPECT_STREQ(lcd_parser_after_tokens(binding, ':', 1), "Test:1");
  EXPECT_EQ(lcd_parser_after_tokens(binding, ':', 2), nullptr);  // three ':' only
  EXPECT_EQ(lcd_parser_len(binding, ':'), 2);
  EXPECT_EQ(lcd_parser_len("tm", ':'), 2);
  EXPECT_EQ(lcd_parser_len("", ':'), 0);
  EXPECT_EQ(lcd_parser_len(binding, '\0'), 11);
}

std::string action(const char* binding, E_ACTION expected) {
  char* argument = reinterpret_cast<char*>(1);
  EXPECT_EQ(lcd_action_for_key_c(binding, &argument), expected) << binding;
  return take(argument);
}

TEST(LcdParser, BindingsGiveActionAndArgument) {
  EXPECT_EQ(action("up:1:Test1", A_LCD), "Test1");
  EXPECT_EQ(action("en:1:a:b", A_LCD), "a:b");  // the argument may hold ':'
  EXPECT_EQ(action("es:0x5:sys_st", A_INVERT), "sys_st");
  EXPECT_EQ(action("do:3:", A_DEC), "");
  EXPECT_EQ(action("up:257:x", A_LCD), "x");  // 8 bits
  // Fewer than two ':': no action, and nothing to free.
  EXPECT_EQ(action("up:2", A_NULL), "<none>");
  EXPECT_EQ(action("up", A_NULL), "<none>");
}

// --- rendering, from a task with the variable store ----------------------------

void in_task(void (*body)(), double seconds = 5) {
  EXPECT_TRUE(test::run_in_task([] { xsStorage = xSemaphoreCreateMutex(); }, body, {}, seconds))
      << "the test task did not finish";
}

std::string rendered(const char* line) { return take(lcd_create_string_c(line)); }

TEST(LcdRender, VariablesByTypeAndTheLineAroundThem) {
  in_task([] {
    storage_set_str("s", "Hello");
    storage_set_str("none", nullptr);
    storage_set_num("n", 7, E_NUM);
    storage_set_num("h", 1234, E_HEX);
    storage_set_num("off", 0, E_ONOFF);
    storage_set_num("on", 5, E_ONOFF);
    storage_set_num("st0", ST_TEST, E_STATE);
    storage_set_num("st1", ST_WORK, E_STATE);
    storage_set_num("st2", 2, E_STATE);
    storage_set_num("other", -5, static_cast<E_VARTYPE>(9));
    const size_t heap = xPortGetFreeHeapSize();

    EXPECT_EQ(rendered("var1:~s~"), "var1:Hello");
    EXPECT_EQ(rendered("a~n~b~h~c"), "a007b0x04d2c");
    EXPECT_EQ(rendered("[~off~][~on~]"), "[off][on ]");
    EXPECT_EQ(rendered("~st0~/~st1~/<~st2~>"), "TEST/WORK/<>");
    EXPECT_EQ(rendered("~none~ ~other~"), "null -5");
    EXPECT_EQ(rendered("a~missing~b"), "ab");
    EXPECT_EQ(rendered("~~|"), "|");  // an empty name is a name the store does not hold
    EXPECT_EQ(rendered(""), "");
    EXPECT_EQ(rendered("no references"), "no references");
    // After the last pair the rest is text, "~" included.
    EXPECT_EQ(rendered("x~n~ tail~"), "x007 tail~");
    // Adjacent references and the same one twice.
    EXPECT_EQ(rendered("~st0~st~st0~~s~"), "TESTstTESTHello");
    EXPECT_EQ(xPortGetFreeHeapSize(), heap);  // every temporary string given back
  });
}

TEST(LcdRender, CutsAtSixteenAndNumbersAtNine) {
  in_task([] {
    storage_set_str("s", "Hello");
    storage_set_num("big", -1, E_HEX);
    storage_set_num("neg", -123456789, E_NUM);
    EXPECT_EQ(rendered("0123456789abcdefXYZ"), "0123456789abcdef");
    EXPECT_EQ(rendered("~s~st~s~~s~"), "HellostHelloHell");
    EXPECT_EQ(rendered("lcd_infoeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeee:~s~!"), "lcd_infoeeeeeeee");
    EXPECT_EQ(rendered("~big~"), "0xfffffff");
    EXPECT_EQ(rendered("~neg~|"), "-12345678|");
  });
}

TEST(LcdRender, AtMostTenReferencesAreFilledIn) {
  in_task([] {
    storage_set_num("e", 2, E_STATE);  // renders as nothing
    storage_set_num("n", 1, E_NUM);
    EXPECT_EQ(rendered("~e~~e~~e~~e~~e~~e~~e~~e~~e~~n~X"), "001X");
    // The eleventh and everything after the tenth stay as they are.
    EXPECT_EQ(rendered("~e~~e~~e~~e~~e~~e~~e~~e~~e~~e~~n~X"), "~n~X");
  });
}

// --- drawing on the display -----------------------------------------------------

board::Hd44780& lcd() { return board::the_board().lcd; }

std::string rows() {
  std::string out;
  for (int r = 0; r < 4; ++r) out += lcd().row_text(r) + "|";
  return out;
}

void with_display(void (*body)()) {
  in_task(body, 10);
  EXPECT_EQ(lcd().violations(), 0u) << lcd().first_violation();
}

TEST(LcdScreens, BuiltInScreensAndTheCurrentOne) {
  with_display([] {
    lcd16_4_config(lcd_udelay, lcd_mdelay);
    lcd16_4_init();
    storage_set_num("sys_st", ST_TEST, E_STATE);
    storage_set_str("var1", "Hello");
    storage_set_num("var3", 0, E_NUM);
    storage_set_num("var4", 1234, E_HEX);
    EXPECT_EQ(LCD_CURRENT, nullptr);

    lcd_print_menu("TestMode");
    EXPECT_EQ(LCD_CURRENT, fMenu[0]);
    EXPECT_EQ(rows(), "   Test mode.   |Console connect.|var1:Hello      |                |");
    lcd_print_menu("WorkMode");
    EXPECT_EQ(rows(), "   Work mode.   |Test############|var1:Hello      |                |");
    lcd_print_menu("Test1");
    EXPECT_EQ(LCD_CURRENT, fMenu[2]);
    EXPECT_EQ(rows(), "Sys_st:TEST.    |Var3:000    .   |Var4:0x04d2     |                |");

    // The current screen again: not even cleared.
    const uint64_t instructions = lcd().instructions();
    lcd_print_menu("Test1");
    EXPECT_EQ(lcd().instructions(), instructions);

    // No such screen: cleared, and the current one stays.
    lcd_print_menu("Test");
    EXPECT_EQ(LCD_CURRENT, fMenu[2]);
    EXPECT_EQ(rows(), "                |                |                |                |");
    lcd_refresh_menu();
    EXPECT_EQ(rows(), "Sys_st:TEST.    |Var3:000    .   |Var4:0x04d2     |                |");
  });
}

TEST(LcdScreens, AGivenTemplateIsKeptAsACopy) {
  with_display([] {
    lcd16_4_config(lcd_udelay, lcd_mdelay);
    lcd16_4_init();
    char typed[] = "\"@Mine@^one^^^^three^^four^^five^#up:1:TestMode#\"";
    lcd_print_info(typed);
    EXPECT_NE(LCD_CURRENT, typed);
    EXPECT_STREQ(LCD_CURRENT, typed);
    // Four rows at most, and an empty line leaves its row blank.
    EXPECT_EQ(rows(), "one             |                |three           |four            |");

    std::memset(typed, 'x', sizeof typed - 1);  // the caller's text goes away
    const char* copy = LCD_CURRENT;
    lcd_refresh_menu();  // a redraw of the copy is not a copy onto itself
    EXPECT_EQ(LCD_CURRENT, copy);
    EXPECT_EQ(rows(), "one             |                |three           |four            |");
    lcd_print_menu("Mine");  // a given template's name counts as current
    EXPECT_EQ(rows(), "one             |                |three           |four            |");

    // Without lines: a clear display, and it is current all the same.
    lcd_print_info("@Empty@");
    EXPECT_STREQ(LCD_CURRENT, "@Empty@");
    EXPECT_EQ(rows(), "                |                |                |                |");

    static char long_template[400];
    std::memset(long_template, '^', sizeof long_template - 1);
    lcd_print_info(long_template);
    EXPECT_EQ(std::strlen(LCD_CURRENT), 255u);
  });
}

}  // namespace
