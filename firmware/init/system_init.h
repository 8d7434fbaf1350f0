// Reset-time clock set-up, run before main.
#pragma once
#include <cstdint>

extern "C" {

// The core clock the firmware is built for. It stays 72 MHz even when the crystal
// fails and the chip runs from the internal 8 MHz oscillator.
extern uint32_t SystemCoreClock;

// Clock tree to 72 MHz from the crystal through the PLL (2 flash wait states,
// APB1 at 36 MHz); without a crystal nothing beyond the reset state is changed and
// the internal oscillator stays in use. Then the vector table at the start of flash.
void SystemInit(void);
}

// The clock tree part, shared with RCC_Configuration. Returns whether the crystal
// started (and so whether the PLL now drives the system clock).
bool clock_tree_setup(void);
