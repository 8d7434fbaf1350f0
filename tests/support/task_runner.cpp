#include "task_runner.h"

#include "kernel_board.h"

namespace test {

namespace {

void (*g_setup)() = nullptr;
void (*g_body)() = nullptr;
std::vector<pdTASK_CODE> g_others;
bool g_done = false;

void body_task(void*) {
  g_body();
  g_done = true;
  for (;;) vTaskDelay(1000);
}

}  // namespace

bool run_in_task(void (*setup)(), void (*body)(), const std::vector<pdTASK_CODE>& others, double seconds) {
  g_setup = setup;
  g_body = body;
  g_others = others;
  g_done = false;
  run_kernel(
      [] {
        g_setup();
        xTaskCreate(body_task, reinterpret_cast<const signed char*>("TEST"), 400, nullptr, 2, nullptr);
        for (pdTASK_CODE other : g_others)
          xTaskCreate(other, reinterpret_cast<const signed char*>("OTHER"), 400, nullptr, 2, nullptr);
      },
      seconds);
  return g_done;
}

}  // namespace test
