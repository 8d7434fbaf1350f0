#include "board_task.h"

#include <cstdio>
#include <cstdlib>

#include "FreeRTOS.h"
#include "board_config.h"
#include "host_core.h"
#include "lcd16_4_4bit.h"
#include "lcd_task.h"
#include "main.h"
#include "refstorage.h"
#include "storage.h"
#include "system_init.h"
#include "task.h"
#include "vectors.h"

extern "C" int tarvik_main(void);  // the firmware's main, renamed in the host build

namespace fuzz {

namespace {

constexpr board::Cycles kTick = board::kCpuHz / 1000;
constexpr int kDefaultVariables = 5;

void (*volatile g_job)(void*) = nullptr;
void* volatile g_arg = nullptr;
volatile bool g_done = false;
bool g_booted = false;
std::string g_console;

void job_task(void*) {
  lcd16_4_config(lcd_udelay, lcd_mdelay);
  lcd16_4_init();
  lcd16_4_clear();
  // Jobs see the store as the unit has it after start-up.
  while (storage_find_index(kDefaultVariables - 1) == nullptr) vTaskDelay(1);
  for (;;) {
    if (g_job == nullptr) {
      vTaskDelay(1);
      continue;
    }
    g_job(g_arg);
    g_job = nullptr;
    g_done = true;
  }
}

void task_reset() {
  SystemInit();
  RCC_Configuration();
  GPIO_Configuration();
  USART1_Configuration();
  xsStorage = xSemaphoreCreateMutex();
  xTaskCreate(vTaskRefStorage, reinterpret_cast<const signed char*>("REFSTORAGE"), 478, nullptr, 2, nullptr);
  xTaskCreate(job_task, reinterpret_cast<const signed char*>("FUZZ"), 878, nullptr, 2, nullptr);
  vTaskStartScheduler();
  hostcpu::halt("the scheduler did not start");
}

void firmware_reset() {
  SystemInit();
  tarvik_main();
  hostcpu::halt("main returned");
}

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "fuzz: %s\n", what);
  std::abort();
}

void start(void (*reset)()) {
  if (g_booted) fail("one board per process");
  g_booted = true;
  board::Board& b = board::the_board();
  b.usart1.set_tx_sink([](uint8_t byte) { g_console.push_back(static_cast<char>(byte)); });
  b.set_firmware(reset, g_pfnVectors);
}

}  // namespace

void run_in_task(void (*job)(void*), void* arg, double seconds) {
  if (!g_booted) start(task_reset);
  board::Board& b = board::the_board();
  g_done = false;
  g_arg = arg;
  g_job = job;
  const board::Cycles limit = b.now() + static_cast<board::Cycles>(seconds * board::kCpuHz);
  while (!g_done) {
    if (b.cpu.halted()) fail(("the board halted: " + b.cpu.halt_reason()).c_str());
    if (b.now() >= limit) fail("the job did not end");
    b.run_until(b.now() + kTick);
  }
}

void boot_firmware() {
  start(firmware_reset);
  board::Board& b = board::the_board();
  const std::string prompt = "console>";
  const board::Cycles limit = b.now() + 5 * board::kCpuHz;
  while (!g_console.ends_with(prompt)) {
    if (b.cpu.halted() || b.now() >= limit) fail("no prompt after reset");
    b.run_until(b.now() + kTick);
  }
}

std::string& console() { return g_console; }

}  // namespace fuzz
