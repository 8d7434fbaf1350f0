// Shared between the Cortex-M3 port's register work and the context switching of each machine.
#pragma once

extern volatile unsigned long uxCriticalNesting;
void vPortSetupTimerInterrupt(void);
void vPortSetKernelPriorities(void);
