// The task table, the mutexes and the start-up helpers.
#pragma once
#include <stdint.h>

#include "FreeRTOS.h"
#include "semphr.h"
#include "task.h"

#define VERSION "0.0.1"

#define TASK_AUTOSTART 0x01
#define TASK_RUNNING 0x80

struct sTasks {
  const signed char** name;  // null ends the table
  int32_t stack_size;        // words
  int32_t priority;
  xTaskHandle handle;
  uint8_t flags;
  pdTASK_CODE task;
};

extern sTasks fTasks[];
extern xSemaphoreHandle xsStorage;
extern xSemaphoreHandle xsBackup;

void vTaskCode(void* pvParameters);
// Busy-waits by counting down to zero.
void Delay(unsigned long nCount);
