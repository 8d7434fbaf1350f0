#include "console.h"

#include <cstdint>
#include <cstring>

#include "FreeRTOS.h"
#include "commands.h"
#include "stm32f10x.h"
#include "task.h"

// help lists the words in this order, eight to a line.
const sConsole fConsole[] = {
    /*  0 */ {"help", "List of command or Help about command.\r\n help <command> ", help},
    /*  1 */
    {"info", "Print message over LCD\r\ninfo -n=<num> <str> \r\nwhere: <num>-number of lcd string", lcd_info},
    /*  2 */ {"clr", "Clear LCD", lcd_clear},
    /*  3 */ {"listt_ex", "List of tasks in system.\r\n Warning! Use in debug mode only", listt_ex},
    /*  4 */ {"listt", "List of tasks in system.", listt},
    /*  5 */ {"delt", "Delete task.\r\n delt <nametask> ", delt},
    /*  6 */ {"led", "on/off leds.\r\n led -n=<num led> -f=<on/off>\r\nwhere:\n 0-GREEN, 1-BLUE", led},
    /*  7 */ {"backup_crc", "Calculate crc for backup vars.", console_backup_crc},
    /*  8 */
    {"backup_set",
     "Write vars to backup.\r\nbackup_set <num> <val>\r\nwhere: <num>-numb of backup reg <val> -int value",
     console_backup_set},
    /*  9 */
    {"backup_get", "Read vars from backup.\r\nbackup_get <num> <val>\r\nwhere: <num>-numb of backup reg",
     console_backup_get},
    /* 10 */ {"backup_list", "List of vars in backup.", console_backup_list},
    /* 11 */ {"listv", "List of vars in system.", listv},
    /* 12 */
    {"var_set",
     "Write vars to storage.\r\nvar_set <name> <type> <val>\r\nwhere: <name>-var name <type> -int/str <val> "
     "-value",
     console_var_set},
    /* 13 */
    {"var_get", "Read vars from backup.\r\nbackup_get <num> <val>\r\nwhere: <name>-var name ",
     console_var_get},
    /* 14 */
    {"var_del", "Read vars from backup.\r\nbackup_get <num> <val>\r\nwhere: <name>-var name ",
     console_var_del},
    /* 15 */ {"e3on", "Engine3 turn on.", console_engine3_on},
    /* 16 */ {"e3off", "Engine3 turn off.", console_engine3_off},
    /* 17 */
    {"e3acc", "Engine3 calc acceleration.\r\ne3acc -t=<num> -i=<num> -o=<num> <msec>", console_engine3_acc},
    /* 18 */
    {"e3pid", "Engine3 enable PID.\r\ne3pid -f=<0,1,2> -p=<num> -i=<num> -d=<num> <target>",
     console_engine3_pid},
    /* 19 */ {"e3target", "Setup pid-target for engine3.", console_engine3_target},
    /* 20 */ {"e3info", "Info about engine3.", console_engine3_info},
    /* 21 */ {"e3dir", "Engine3 change direction. e3dir <dir>\r\nwhere: <dir>-0/1", console_engine3_dir},
    /* 22 */ {"e3pulse", "Engine3 change pulse. e3pulse <pwm>\r\nwhere: <pwn>-0/100", console_engine3_pulse},
    /* 23 */
    {"e3period", "Engine3 change period. e3period <pwm>\r\nwhere: <pwn>-0/100", console_engine3_period},
    /* 24 */ {"keys", "Test keyboard. STOP- exit.", console_keys_press},
    /* 25 */ {"freq3", "Frequency of engine 3. STOP- exit.", console_freq3},
    /* 26 */ {"lcd_menu", "Show LCD menu string.\r\n lcd_menu <menu_name>", console_lcd_menu},
    /* 27 */ {"lcd_str", "Show LCD info string.\r\n lcd_str <menu_str>", console_lcd_str},
    /* 28 */ {"aly", "Monitoring.", console_aly},
    {nullptr, nullptr, nullptr},
};

namespace {
constexpr char kGrave = 0x60;
constexpr char kCarriageReturn = 0x0D;
constexpr char kBackspace = 0x08;

constexpr unsigned kLineSize = 50;
// The 49th character is echoed and wiped at once, keeping room for the NUL.
constexpr unsigned char kMaxLine = 48;
constexpr uint8_t kHistorySlots = 4;

void wipe_last_on_terminal() {
  cprintf("%c", kBackspace);
  cprintf(" ");
  cprintf("%c", kBackspace);
}
}  // namespace

// A received NUL counts as nothing received.
static char isReceiving() {
  if ((USART1->SR & USART_SR_RXNE) == 0) return 0;
  return static_cast<char>(USART1->DR & 0xFF);
}

void vTaskConsole(void* /*pvParameters*/) {
  const portTickType xDelay = 50;

  char buf[kLineSize] = {};
  unsigned char cnt = 0;
  char command[kLineSize];
  char symbol;
  char history_buf[kHistorySlots][kLineSize] = {};
  uint8_t history_cnt_buf[kHistorySlots] = {};

  cprintf("console>");
  // history: slot the next line goes to (4 wraps to 0 at the next store);
  // history_cur: slot the next recall shows; history_count: stored lines + 1, at most 4.
  uint8_t history = 0;
  uint8_t history_cur = 0;
  uint8_t history_count = 1;

  for (;;) {
    vTaskDelay(xDelay);
    symbol = isReceiving();
    if (symbol == 0) continue;

    if (symbol == kGrave && history_count > 1) {
      for (unsigned char k = 0; k < cnt; ++k) wipe_last_on_terminal();
      if (history_cur != history) {
        memcpy(buf, history_buf[history_cur], kLineSize);
        cnt = history_cnt_buf[history_cur];
        cprintf("%s", buf);
      } else {
        // The slot to be written next holds no line worth showing.
        cnt = 0;
        buf[0] = '\0';
      }
      history_cur = history_cur == 0 ? history_count - 1 : history_cur - 1;
    } else if (symbol == kCarriageReturn) {
      const sConsole* row = nullptr;
      if (parser_of_word(buf, 0, command) == 0) {
        for (const sConsole* c = fConsole; c->name != nullptr; ++c) {
          if (strcmp(c->name, command) == 0) {
            row = c;
            break;
          }
        }
      }
      if (row != nullptr) {
        cprintf("\r\n");
        if (history == history_count) history = 0;
        history_cur = history;
        // Stored before the handler runs, which may write into the line.
        memcpy(history_buf[history], buf, kLineSize);
        history_cnt_buf[history] = cnt;
        ++history;
        if (++history_count > kHistorySlots) history_count = kHistorySlots;
        row->cmd(buf);
      } else {
        cprintf("\r\nCommand not found.");
      }
      cprintf("\r\nconsole>");
      cnt = 0;
      buf[0] = '\0';
    } else if (symbol == kBackspace) {
      if (cnt > 0) {
        wipe_last_on_terminal();
        buf[--cnt] = '\0';
      }
    } else if (symbol >= 0x20 && symbol <= 0x7E) {
      cprintf("%c", symbol);
      buf[cnt] = symbol;
      buf[cnt + 1] = '\0';
      if (++cnt > kMaxLine) {
        wipe_last_on_terminal();
        buf[kMaxLine] = '\0';
        cnt = kMaxLine;
      }
    }
  }
}
