// Virtual seconds per wall second of the simulated board with motor 3 under the
// PID regulator and the RS485 telemetry streaming; with --lcd, a second run with
// the LCD task started as well, redrawing its screen every 50 ms.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "machine.h"

int main(int argc, char** argv) {
  double virtual_seconds = 30.0;
  sim::Options options;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--lcd") == 0)
      options.lcd_task = true;
    else
      virtual_seconds = std::atof(argv[i]);
  }
  sim::Machine m(options);
  board::Board& b = m.board();
  b.usart1.set_tx_sink([](uint8_t) {});
  uint64_t rs485_bytes = 0;
  b.rs485.on_byte = [&](uint8_t) { ++rs485_bytes; };
  sim::LineInput console(b, b.usart1, sim::LineInput::Mode::paced);
  console.push("e3on\re3pid -f=0 500\r");
  m.run_until(sim::seconds(5.0));  // typed, regulating
  const auto start = std::chrono::steady_clock::now();
  const uint64_t irqs = b.cpu.exceptions_taken(board::Cpu::kIrq0 + board::kTim3Irq);
  const uint64_t lcd_writes = b.lcd.data_writes();
  m.run_until(m.now() + sim::seconds(virtual_seconds));
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf(
      "motor under PID with RS485 streaming%s: %.1f virtual s in %.3f wall s = %.0fx real time "
      "(%llu TIM3 interrupts, %llu RS485 bytes, %.0f rpm",
      options.lcd_task ? " and the LCD task redrawing" : "", virtual_seconds, wall, virtual_seconds / wall,
      static_cast<unsigned long long>(b.cpu.exceptions_taken(board::Cpu::kIrq0 + board::kTim3Irq) - irqs),
      static_cast<unsigned long long>(rs485_bytes), b.motor.rpm());
  if (options.lcd_task)
    std::printf(", %llu characters drawn", static_cast<unsigned long long>(b.lcd.data_writes() - lcd_writes));
  std::printf(")\n");
  return m.halted() ? 1 : 0;
}
