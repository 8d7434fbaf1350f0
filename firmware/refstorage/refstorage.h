// The task that fills the variable store with the system's defaults at start-up.
#pragma once

// Operating mode, kept in the variable "sys_st".
enum SYSTEM_state { ST_TEST = 0, ST_WORK = 1 };

// Creates sys_st, lcd_info, var1, var4 and var3 in this order, then suspends
// itself; if resumed, it empties the store and creates them again.
void vTaskRefStorage(void* pvParameters);
