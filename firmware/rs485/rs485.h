// RS485 telemetry on USART2: the encoder interval and the PWM pulse as one text
// line about every 10 ms. Send only; the transceiver drives the bus (PA4 high)
// only while a line goes out.
#pragma once

// Formats like printf (integer conversions, at most 99 characters; longer text
// is cut) and sends it, holding the calling task until the last stop bit is out.
void rprintf(const char* format, ...) __attribute__((format(printf, 1, 2)));

void vTaskRS485(void* pvParameters);
