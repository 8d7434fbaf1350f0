// The LCD task: sets the display up, shows the first screen by the system state
// ("sys_st"), redraws the current screen every 50 ms and runs the action the
// current screen binds to each newly pressed key.
#pragma once
#include <stdint.h>

#include "lcd_menu.h"

void vTaskLcd(void* pvParameters);

// Reads a binding "key:action:argument": returns the action and stores a new copy
// of the argument (the caller frees it). A binding with fewer than two ':' (or no
// memory for the copy) gives A_NULL and a null argument.
E_ACTION lcd_action_for_key_c(const char* key, char** value);

// The waits handed to the display driver: a counted busy loop (nCount + 1
// tests), us busy-wait microsecond units of lcd_delay(72) each, and a sleep of ms
// ticks.
void lcd_delay(unsigned long nCount);
void lcd_udelay(uint32_t us);
void lcd_mdelay(uint32_t ms);
