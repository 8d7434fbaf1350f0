#include <cstdarg>
#include <cstdint>

#include "console.h"
#include "serial_out.h"
#include "stm32f10x.h"
#include "vsniprintf.h"

unsigned char serial_format(char* buf, const char* format, va_list args) {
  const int len = vsniprintf(buf, kSerialTextSize, format, args);
  if (len <= 0) return 0;
  // The formatter reports the untruncated length; only what fits was written.
  return static_cast<unsigned char>(len < kSerialTextSize ? len : kSerialTextSize - 1);
}

void serial_wait_sent(USART_TypeDef* usart) {
  while ((usart->SR & USART_SR_TC) == 0) {
  }
}

// Polled on purpose: the console needs no interrupt and must work before the
// scheduler runs.
void serial_send(USART_TypeDef* usart, const char* ptr, int len) {
  for (int i = 0; i < len; ++i) {
    serial_wait_sent(usart);
    usart->DR = static_cast<uint8_t>(ptr[i]);
  }
}

void cprintf(const char* format, ...) {
  char buf[kSerialTextSize];
  va_list args;
  va_start(args, format);
  const unsigned char count = serial_format(buf, format, args);
  va_end(args);
  serial_send(USART1, buf, count);
}
