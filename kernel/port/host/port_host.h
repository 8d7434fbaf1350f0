// Services of the host port beyond the kernel API.
#pragma once
#include "task.h"

// Overwrites the fill at the end of the task's host stack, as an overflow would.
void vPortSpoilStack(xTaskHandle task);
