#pragma once
#include "queue.h"

typedef xQueueHandle xSemaphoreHandle;

#define semGIVE_BLOCK_TIME ((portTickType)0U)

#define xSemaphoreCreateMutex() xQueueCreateMutex(queueQUEUE_TYPE_MUTEX)
#define xSemaphoreTake(xSemaphore, xBlockTime) \
  xQueueGenericReceive((xQueueHandle)(xSemaphore), NULL, (xBlockTime), pdFALSE)
#define xSemaphoreGive(xSemaphore) \
  xQueueGenericSend((xQueueHandle)(xSemaphore), NULL, semGIVE_BLOCK_TIME, queueSEND_TO_BACK)
#define vSemaphoreDelete(xSemaphore) vQueueDelete((xQueueHandle)(xSemaphore))
