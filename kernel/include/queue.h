#pragma once
#include "FreeRTOS.h"

typedef void* xQueueHandle;

#define queueSEND_TO_BACK (0)
#define queueQUEUE_TYPE_MUTEX ((unsigned char)1U)

// Only mutexes are provided: a queue of one empty item with an owner.
xQueueHandle xQueueCreateMutex(unsigned char ucQueueType);
signed portBASE_TYPE xQueueGenericSend(xQueueHandle xQueue, const void* const pvItemToQueue,
                                       portTickType xTicksToWait, portBASE_TYPE xCopyPosition);
signed portBASE_TYPE xQueueGenericReceive(xQueueHandle xQueue, void* const pvBuffer,
                                          portTickType xTicksToWait, portBASE_TYPE xJustPeeking);
void vQueueDelete(xQueueHandle xQueue);
