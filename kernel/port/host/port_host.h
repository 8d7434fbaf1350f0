// Services of the host port beyond the kernel API.
#pragma once
#include "task.h"

// A board reset: frees the host memory of every kernel object (task control
// blocks, mutexes), whose handles the kernel is about to forget. Call it once the
// tasks' contexts are gone and before the kernel's memory is put back.
void vPortDropHostObjects(void);

// Overwrites the fill at the end of the task's host stack, as an overflow would.
void vPortSpoilStack(xTaskHandle task);
