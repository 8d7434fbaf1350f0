// Virtual seconds per wall second of the simulated board idling at the console prompt.
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "machine.h"

int main(int argc, char** argv) {
  const double virtual_seconds = argc > 1 ? std::atof(argv[1]) : 120.0;
  sim::Machine m;
  m.board().usart1.set_tx_sink([](uint8_t) {});
  m.run_until(sim::seconds(1.0));  // boot and reach the prompt
  const auto start = std::chrono::steady_clock::now();
  m.run_until(m.now() + sim::seconds(virtual_seconds));
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const auto& cpu = m.board().cpu;
  std::printf(
      "idle at the prompt: %.1f virtual s in %.3f wall s = %.0fx real time (%llu ticks, %llu task "
      "switches)\n",
      virtual_seconds, wall, virtual_seconds / wall,
      static_cast<unsigned long long>(cpu.exceptions_taken(board::Cpu::kSysTick)),
      static_cast<unsigned long long>(cpu.exceptions_taken(board::Cpu::kPendSv)));
  return m.halted() ? 1 : 0;
}
