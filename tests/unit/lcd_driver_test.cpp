// The LCD driver from kernel tasks, on the board's display model.
#include <gtest/gtest.h>

#include <string>

#include "board.h"
#include "lcd16_4_4bit.h"
#include "lcd_task.h"
#include "task_runner.h"

namespace {

board::Hd44780& lcd() { return board::the_board().lcd; }

void in_task(void (*body)(), const std::vector<pdTASK_CODE>& others = {}, double seconds = 5) {
  EXPECT_TRUE(test::run_in_task([] {}, body, others, seconds)) << "the test task did not finish";
}

void set_up_display() {
  lcd16_4_config(lcd_udelay, lcd_mdelay);
  lcd16_4_init();
}

TEST(LcdDriver, DoesNothingBeforeItIsConfigured) {
  in_task([] {
    const portTickType ticks = xTaskGetTickCount();
    const board::Cycles start = board::the_board().now();
    lcd16_4_init();
    lcd16_4_clear();
    lcd16_4_cursorTo(1, 2);
    lcd16_4_leftScroll(3, 10);
    lcd16_4_write('x');
    EXPECT_EQ(lcd16_4_send("ab", 2), 2);
    EXPECT_EQ(lprintf("%s", "abc"), 0);
    EXPECT_EQ(board::the_board().now(), start);  // no busy wait
    EXPECT_EQ(xTaskGetTickCount(), ticks);       // no sleep
  });
  EXPECT_EQ(lcd().last_write(), 0u);
  EXPECT_EQ(board::the_board().gpioc.mode(board::Hd44780::kE), 0x4);  // still a floating input
}

TEST(LcdDriver, RowsStartAt00_40_10_50AndColumnsAreClamped) {
  in_task([] {
    set_up_display();
    EXPECT_EQ(LCD_CONFIG.rows, 4);
    lcd16_4_cursorTo(1, 20);
    lprintf("%c", 'X');
    lcd16_4_cursorTo(3, 0);
    lprintf("three");
    lcd16_4_cursorTo(2, 0);
    lprintf("two");
    lcd16_4_cursorTo(0, 3);
    lprintf("%d", 42);
    lcd16_4_cursorTo(7, 1);  // any other row is row 3
    lprintf("H");
    lcd16_4_cursorTo(0, -4);
    lprintf("<");
  });
  EXPECT_TRUE(lcd().four_bit());
  EXPECT_TRUE(lcd().two_lines());
  EXPECT_TRUE(lcd().display_on());
  EXPECT_EQ(lcd().row_text(0), "<  42           ");
  EXPECT_EQ(lcd().row_text(1), "               X");
  EXPECT_EQ(lcd().row_text(2), "two             ");
  EXPECT_EQ(lcd().row_text(3), "tHree           ");
  EXPECT_EQ(lcd().violations(), 0u) << lcd().first_violation();
}

TEST(LcdDriver, RowCountIsClampedIntoTheFunctionSet) {
  in_task([] {
    lcd16_4_config(lcd_udelay, lcd_mdelay);
    LCD_CONFIG.rows = 0;
    lcd16_4_init();
    EXPECT_EQ(LCD_CONFIG.rows, 1);
    EXPECT_FALSE(lcd().two_lines());
    LCD_CONFIG.rows = 9;
    lcd16_4_init();  // again, from 4-bit mode
    EXPECT_EQ(LCD_CONFIG.rows, 4);
    EXPECT_TRUE(lcd().two_lines());
  });
  EXPECT_TRUE(lcd().four_bit());
  EXPECT_EQ(lcd().violations(), 0u) << lcd().first_violation();
}

TEST(LcdDriver, PrintWritesAtMost19Characters) {
  in_task([] {
    set_up_display();
    const uint64_t writes = lcd().data_writes();
    EXPECT_EQ(lprintf("%s", ""), 0);
    EXPECT_EQ(lcd16_4_send("abc", 0), 0);
    EXPECT_EQ(lcd().data_writes(), writes);
    EXPECT_EQ(lprintf("%s", "0123456789abcdefghijKLMNOP"), 19);
    EXPECT_EQ(lcd().data_writes(), writes + 19);
  });
  EXPECT_EQ(lcd().row_text(0), "0123456789abcdef");
  EXPECT_EQ(lcd().row_text(2), "ghi             ");  // row 0 runs on into row 2
}

TEST(LcdDriver, ClearAndHomeAreWaitedOutWhereverTheTickFalls) {
  in_task([] {
    set_up_display();
    // Start each pair at another point of the 1 ms tick.
    for (uint32_t step = 0; step < 25; ++step) {
      lcd_udelay(step * 5);
      lcd16_4_clear();
      lcd16_4_cursorTo(static_cast<int>(step % 4), 0);
      lprintf("%u", static_cast<unsigned>(step));
    }
  });
  EXPECT_EQ(lcd().row_text(0), "24              ");
  EXPECT_EQ(lcd().violations(), 0u) << lcd().first_violation();
}

// Two tasks drawing whole rows at once, each holding the display across its cursor
// move and its text.
volatile bool g_other_done = false;

void draw_row(int row, const char* text) {
  LcdLock lock;
  ASSERT_TRUE(lock.held());
  lcd16_4_cursorTo(row, 0);
  lprintf("%s", text);
}

TEST(LcdDriver, TheLockKeepsEachTasksDrawingWhole) {
  in_task(
      [] {
        set_up_display();
        for (int i = 0; i < 8; ++i) draw_row(0, i % 2 ? "aaaaaaaaaaaaaaaa" : "AAAAAAAAAAAAAAAA");
        while (!g_other_done) vTaskDelay(10);
      },
      {[](void*) {
        while (LCD_CONFIG.gpio == nullptr) vTaskDelay(1);
        for (int i = 0; i < 8; ++i) draw_row(1, i % 2 ? "bbbbbbbbbbbbbbbb" : "BBBBBBBBBBBBBBBB");
        g_other_done = true;
        for (;;) vTaskDelay(1000);
      }});
  EXPECT_EQ(lcd().row_text(0), "aaaaaaaaaaaaaaaa");
  EXPECT_EQ(lcd().row_text(1), "bbbbbbbbbbbbbbbb");
  EXPECT_EQ(lcd().row_text(2), std::string(16, ' '));
  EXPECT_EQ(lcd().violations(), 0u) << lcd().first_violation();
}

}  // namespace
