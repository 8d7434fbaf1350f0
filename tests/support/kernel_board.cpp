#include "kernel_board.h"

#include "board_config.h"
#include "system_init.h"

namespace test {

namespace {

void (*g_setup)() = nullptr;
std::string g_console;

void reset() {
  SystemInit();
  RCC_Configuration();
  USART1_Configuration();
  g_setup();
  vTaskStartScheduler();
  hostcpu::halt("the scheduler did not start");
}

board::Cpu::Handler vectors[board::Cpu::kExceptions];

}  // namespace

void run_kernel(void (*setup)(), double seconds) {
  g_setup = setup;
  for (auto& v : vectors) v = [] { hostcpu::halt("unexpected exception"); };
  vectors[board::Cpu::kSvc] = vPortSVCHandler;
  vectors[board::Cpu::kPendSv] = xPortPendSVHandler;
  vectors[board::Cpu::kSysTick] = xPortSysTickHandler;
  board::Board& b = board::the_board();
  b.usart1.set_tx_sink([](uint8_t byte) { g_console.push_back(static_cast<char>(byte)); });
  b.set_firmware(reset, vectors);
  b.run_until(static_cast<board::Cycles>(seconds * board::kCpuHz));
}

void run_more(double seconds) {
  board::Board& b = board::the_board();
  b.run_until(b.now() + static_cast<board::Cycles>(seconds * board::kCpuHz));
}

const std::string& console_output() { return g_console; }
double now_seconds() { return static_cast<double>(board::the_board().now()) / board::kCpuHz; }

}  // namespace test
