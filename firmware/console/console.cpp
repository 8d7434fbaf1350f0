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
