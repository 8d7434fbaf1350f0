// Services each port provides to the kernel, and the heap.
#pragma once
#include <stddef.h>

void* pvPortMalloc(size_t xWantedSize);
void vPortFree(void* pv);
size_t xPortGetFreeHeapSize(void);

void vPortEnterCritical(void);
void vPortExitCritical(void);
unsigned long ulPortSetInterruptMask(void);
void vPortClearInterruptMask(unsigned long ulNewMask);
void vPortYield(void);
portBASE_TYPE xPortStartScheduler(void);

extern "C" {
void vPortSVCHandler(void);
void xPortPendSVHandler(void);
void xPortSysTickHandler(void);
}
