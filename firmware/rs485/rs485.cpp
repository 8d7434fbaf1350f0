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
#include "serial_out.h"

void rprintf(const char* format, ...) {
  char buf[kSerialTextSize];
  va_list args;
  va_start(args, format);
  const unsigned char count = serial_format(buf, format, args);
  va_end(args);
  if (count == 0) return;

  GPIO_WriteBit(GPIOA, board_pins::kRs485DriverEnable, Bit_SET);
  serial_send(USART2, buf, count);
  // The driver is released only after the last stop bit.
  serial_wait_sent(USART2);
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
