// Reset to running scheduler: board set-up, banner, mutexes, the task table.
#include "main.h"

#include "board_config.h"
#include "console.h"
#include "core_cm3.h"
#include "keys.h"
#include "lcd_task.h"
#include "leds.h"
#include "refstorage.h"
#include "rs485.h"
#include "stm32f10x_tim.h"

static const signed char* c_task_name = reinterpret_cast<const signed char*>("NAME");
static const signed char* c_task_console_name = reinterpret_cast<const signed char*>("CONSOLE");
static const signed char* c_task_refstorage = reinterpret_cast<const signed char*>("REFSTORAGE");
static const signed char* c_task_lcd = reinterpret_cast<const signed char*>("LCD");
static const signed char* c_task_keys = reinterpret_cast<const signed char*>("KEYS");
static const signed char* c_task_rs485 = reinterpret_cast<const signed char*>("RS485");

sTasks fTasks[] = {
    {&c_task_name, 478, 2, nullptr, 0x00, vTaskCode},
    {&c_task_console_name, 878, 2, nullptr, TASK_AUTOSTART, vTaskConsole},
    {&c_task_refstorage, 478, 2, nullptr, TASK_AUTOSTART, vTaskRefStorage},
    {&c_task_lcd, 478, 2, nullptr, 0x00, vTaskLcd},
    {&c_task_keys, 478, 2, nullptr, TASK_AUTOSTART, vTaskKeys},
    {&c_task_rs485, 878, 2, nullptr, TASK_AUTOSTART, vTaskRS485},
    {nullptr, 0, 0, nullptr, 0x00, nullptr},
};

xSemaphoreHandle xsStorage = nullptr;
xSemaphoreHandle xsBackup = nullptr;

void Delay(unsigned long nCount) {
  volatile unsigned long count = nCount;
  cpu_count_down(count);
}

void vTaskCode(void*) {
  for (;;) {
    leds_control(GREEN_LED, ON);
    leds_control(BLUE_LED, OFF);
    for (int i = 0; i < 6; ++i) Delay(0x5FFFF);
    leds_control(GREEN_LED, OFF);
    leds_control(BLUE_LED, OFF);
    for (int i = 0; i < 6; ++i) Delay(0x5FFFF);
    leds_control(GREEN_LED, OFF);
    leds_control(BLUE_LED, ON);
    for (int i = 0; i < 6; ++i) Delay(0x5FFFF);
  }
}

extern "C" void vApplicationStackOverflowHook(xTaskHandle*, signed char* pcTaskName) {
  cprintf("Error!!! ApplicationStackOverflow. Task: %s\r\n", reinterpret_cast<char*>(pcTaskName));
  cpu_halt("stack overflow");
}

int main(void) {
  static unsigned char ucParameterToPass;

  RCC_Configuration();
  NVIC_Configuration();
  GPIO_Configuration();
  USART1_Configuration();
  cprintf("\r\n Tarvik! Start programm.\r\n Version: %s\r\n", VERSION);
  USART2_Configuration();
  TIMER3_Configuration();
  Encoders_Configuration();
  TIM_Cmd(TIM4, ENABLE);
  Keyboard_Configuration();

  xsStorage = xSemaphoreCreateMutex();
  if (xsStorage == nullptr) {
    cprintf("ERROR! Can't create xsStorage semaphore\r\n");
    cpu_halt("mutex xsStorage could not be created");
  }
  xsBackup = xSemaphoreCreateMutex();
  if (xsBackup == nullptr) {
    cprintf("ERROR! Can't create xsBackup semaphore\r\n");
    cpu_halt("mutex xsBackup could not be created");
  }

  for (sTasks* row = fTasks; row->name != nullptr; ++row) {
    if (!(row->flags & TASK_AUTOSTART)) continue;
    // A row whose task could not be created is not marked running.
    if (xTaskGenericCreate(row->task, *row->name, static_cast<unsigned short>(row->stack_size),
                           &ucParameterToPass, static_cast<unsigned portBASE_TYPE>(row->priority),
                           &row->handle, nullptr, nullptr) == pdPASS) {
      row->flags |= TASK_RUNNING;
    }
  }

  vTaskStartScheduler();
  return 0;
}
