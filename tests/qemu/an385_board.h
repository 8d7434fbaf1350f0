// The least of QEMU's mps2-an385 the kernel port test needs: its UART for the
// report, semihosting to end the run with a verdict, and two interrupts.
#pragma once
#include <stdint.h>

// Interrupt lines the test pends itself; nothing on the machine drives them.
constexpr int kUrgentIrq = 29;  // priority 0x80, above the kernel's ceiling
constexpr int kLowIrq = 30;     // priority 0xC0, below it

void board_put(const char* text);
void board_put_uint(uint32_t value);
void board_put_hex(uint32_t value);
// Ends the QEMU run: exit status 0 when `passed`, 1 otherwise.
[[noreturn]] void board_exit(bool passed);

// Interrupt bodies the test supplies.
void urgent_irq(void);
void low_irq(void);
