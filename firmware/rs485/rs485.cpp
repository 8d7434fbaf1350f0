#include "rs485.h"

#include <stdarg.h>
#include <stdint.h>

#include "FreeRTOS.h"
#include "atomic.h"
#include "engine.h"
#include "init/board_pins.h"
#include "stm32f10x.h"
#include "stm32f10x_gpio.h"
#include "task.h"
#include "vsniprintf.h"

namespace {

void wait_transmission_complete() {
  while ((USART2->SR & USART_SR_TC) == 0) {
  }
}

}  // namespace

void rprintf(const char* format, ...) {
  char buf[100];
  va_list args;
  va_start(args, format);
  const int len = vsniprintf(buf, sizeof buf, format, args);
  va_end(args);
  if (len <= 0) return;
  const auto count =
      static_cast<uint8_t>(len < static_cast<int>(sizeof buf) ? len : static_cast<int>(sizeof buf) - 1);

  GPIO_WriteBit(GPIOA, board_pins::kRs485DriverEnable, Bit_SET);
  // TC, not TXE: each character leaves whole before the next, and the driver is
  // released only after the last stop bit.
  for (uint8_t i = 0; i < count; ++i) {
    wait_transmission_complete();
    USART2->DR = static_cast<uint8_t>(buf[i]);
  }
  wait_transmission_complete();
  GPIO_WriteBit(GPIOA, board_pins::kRs485DriverEnable, Bit_RESET);
}

void vTaskRS485(void* /*pvParameters*/) {
  const uint32_t time_delay = 9;  // ms
  for (;;) {
    const uint32_t pulse = AtomicFetchAndAdd(&engine3_pulse, 0);
    const uint32_t interval = AtomicFetchAndAdd(&encoder3_interval, 0);
    rprintf("%.4d,%.4d\n\r", static_cast<int>(interval), static_cast<int>(pulse));
    vTaskDelay(time_delay / portTICK_RATE_MS);
  }
}
