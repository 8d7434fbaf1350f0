#include <cstdarg>
#include <cstdint>

#include "console.h"
#include "stm32f10x.h"
#include "vsniprintf.h"

// Polled on purpose: the console needs no interrupt and must work before the
// scheduler runs.
static void send(char* ptr, int len) {
  for (int i = 0; i < len; ++i) {
    while ((USART1->SR & USART_SR_TC) == 0) {
    }
    USART1->DR = static_cast<uint8_t>(ptr[i]);
  }
}

void cprintf(const char* format, ...) {
  char buf[100];
  va_list args;
  va_start(args, format);
  const int len = vsniprintf(buf, sizeof buf, format, args);
  va_end(args);
  if (len <= 0) return;
  // The formatter reports the untruncated length; only what fits was written.
  const unsigned char count =
      static_cast<unsigned char>(len < static_cast<int>(sizeof buf) ? len : static_cast<int>(sizeof buf) - 1);
  send(buf, count);
}
