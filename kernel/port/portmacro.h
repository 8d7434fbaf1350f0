// Types and macros of the Cortex-M3 ports (the chip and the simulated board).
#pragma once
#include <stdint.h>

#define portCHAR char
#define portFLOAT float
#define portDOUBLE double
#define portLONG long
#define portSHORT short
#define portSTACK_TYPE uint32_t
#define portBASE_TYPE long

typedef uint32_t portTickType;
#define portMAX_DELAY ((portTickType)0xffffffffUL)

#define portSTACK_GROWTH (-1)
#define portTICK_RATE_MS ((portTickType)1000 / configTICK_RATE_HZ)
#define portBYTE_ALIGNMENT 8

// Bytes a task control block takes on the chip; the host charges the same to the
// heap so that memory runs out where it would on the board.
#define portBOARD_TCB_SIZE 72
#define portBOARD_MUTEX_SIZE 32

#define portYIELD() vPortYield()
#define portEND_SWITCHING_ISR(x) \
  do {                           \
    if (x) vPortYield();         \
  } while (0)

#define portSET_INTERRUPT_MASK_FROM_ISR() ulPortSetInterruptMask()
#define portCLEAR_INTERRUPT_MASK_FROM_ISR(x) vPortClearInterruptMask(x)
#define portDISABLE_INTERRUPTS() ulPortSetInterruptMask()
#define portENABLE_INTERRUPTS() vPortClearInterruptMask(0)
#define portENTER_CRITICAL() vPortEnterCritical()
#define portEXIT_CRITICAL() vPortExitCritical()

// One turn of the idle loop: on the simulated board time moves on to the next event.
#define portIDLE_WAIT() __NOP()
#include "core_cm3.h"
