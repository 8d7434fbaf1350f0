// Formatted text on a polled serial line, shared by the console and the RS485
// telemetry.
#pragma once
#include <stdarg.h>

#include "stm32f10x.h"

constexpr int kSerialTextSize = 100;  // buffer of one call: 99 characters and the NUL

// Formats into `buf` (kSerialTextSize bytes) with the bounded integer-only
// formatter; returns the characters in it, longer text cut to 99 (0 on error).
unsigned char serial_format(char* buf, const char* format, va_list args);

// Sends `len` bytes, each once the line has finished the one before (TC).
void serial_send(USART_TypeDef* usart, const char* ptr, int len);

// Waits until the last byte has left the line.
void serial_wait_sent(USART_TypeDef* usart);
