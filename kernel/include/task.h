#pragma once
#include "FreeRTOS.h"

typedef void* xTaskHandle;

typedef struct xMEMORY_REGION {
  void* pvBaseAddress;
  unsigned long ulLengthInBytes;
  unsigned long ulParameters;
} xMemoryRegion;

#define tskIDLE_PRIORITY ((unsigned portBASE_TYPE)0U)

#define taskYIELD() portYIELD()
#define taskENTER_CRITICAL() portENTER_CRITICAL()
#define taskEXIT_CRITICAL() portEXIT_CRITICAL()
#define taskDISABLE_INTERRUPTS() portDISABLE_INTERRUPTS()
#define taskENABLE_INTERRUPTS() portENABLE_INTERRUPTS()

signed portBASE_TYPE xTaskGenericCreate(pdTASK_CODE pxTaskCode, const signed char* const pcName,
                                        unsigned short usStackDepth, void* pvParameters,
                                        unsigned portBASE_TYPE uxPriority, xTaskHandle* pxCreatedTask,
                                        portSTACK_TYPE* puxStackBuffer, const xMemoryRegion* const xRegions);
#define xTaskCreate(pvTaskCode, pcName, usStackDepth, pvParameters, uxPriority, pxCreatedTask)              \
  xTaskGenericCreate((pvTaskCode), (pcName), (usStackDepth), (pvParameters), (uxPriority), (pxCreatedTask), \
                     NULL, NULL)

void vTaskDelete(xTaskHandle pxTaskToDelete);
void vTaskDelay(portTickType xTicksToDelay);
void vTaskSuspend(xTaskHandle pxTaskToSuspend);
void vTaskStartScheduler(void);
void vTaskSuspendAll(void);
signed portBASE_TYPE xTaskResumeAll(void);
portTickType xTaskGetTickCount(void);
xTaskHandle xTaskGetCurrentTaskHandle(void);
unsigned portBASE_TYPE uxTaskGetNumberOfTasks(void);
signed char* pcTaskGetTaskName(xTaskHandle xTaskToQuery);

// Called by the kernel when a task's stack has overflowed; never returns.
extern "C" void vApplicationStackOverflowHook(xTaskHandle* pxTask, signed char* pcTaskName);

// For the port.
portBASE_TYPE xTaskIncrementTick(void);
extern "C" void vTaskSwitchContext(void);
