// The board image on the emulated Cortex-M3: virtual seconds per wall second
// idling at the prompt and with motor 3 under the PID regulator (RS485
// streaming), the interrupt handlers' worst instruction counts, and the kernel
// heap left once the scheduler has started, as the image's own heap keeps it.
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "machine.h"

namespace {

double wall_seconds(sim::Machine& m, double virtual_seconds) {
  const auto start = std::chrono::steady_clock::now();
  m.run_until(m.now() + sim::seconds(virtual_seconds));
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  sim::Options options;
  options.image = argc > 1 ? argv[1] : "build/arm/tarvik.elf";
  options.profile_irq = true;
  const double idle_s = argc > 2 ? std::atof(argv[2]) : 60.0;
  const double pid_s = argc > 3 ? std::atof(argv[3]) : 20.0;
  sim::Machine m(options);
  board::Board& b = m.board();
  emu::EmulatedCpu& cpu = *m.image();
  b.usart1.set_tx_sink([](uint8_t) {});
  uint64_t rs485_bytes = 0;
  b.rs485.on_byte = [&](uint8_t) { ++rs485_bytes; };

  // The heap as the image keeps it, right after the first task has started.
  while (b.cpu.exceptions_taken(board::ExceptionModel::kSvc) == 0 && m.now() < sim::seconds(1.0))
    m.run_until(m.now() + 1000);
  uint32_t free_bytes = 0, initialised = 0;
  const bool heap_known = cpu.read_variable("(anonymous namespace)::free_bytes", free_bytes) &&
                          cpu.read_variable("(anonymous namespace)::initialised", initialised);
  if (heap_known)
    std::printf("kernel heap free once the scheduler started (at %.6f s): %u bytes\n",
                sim::to_seconds(m.now()), (initialised & 0xFF) ? free_bytes : 0u);
  else
    std::printf("kernel heap: the image has no heap symbols\n");

  m.run_until(sim::seconds(1.0));
  const uint64_t idle_instructions = cpu.instructions();
  const double idle_wall = wall_seconds(m, idle_s);
  std::printf(
      "idle at the prompt: %.1f virtual s in %.3f wall s = %.1fx real time (%.0f instructions a virtual s)\n",
      idle_s, idle_wall, idle_s / idle_wall,
      static_cast<double>(cpu.instructions() - idle_instructions) / idle_s);

  sim::LineInput console(b, b.usart1, sim::LineInput::Mode::paced);
  console.push("e3on\re3pid -f=0 500\r");
  m.run_until(m.now() + sim::seconds(5.0));  // typed, regulating
  const uint64_t pid_instructions = cpu.instructions(), bytes_before = rs485_bytes;
  const double pid_wall = wall_seconds(m, pid_s);
  std::printf(
      "motor under PID with RS485 streaming: %.1f virtual s in %.3f wall s = %.1fx real time "
      "(%.0f instructions a virtual s, %llu RS485 bytes, %.0f rpm)\n",
      pid_s, pid_wall, pid_s / pid_wall, static_cast<double>(cpu.instructions() - pid_instructions) / pid_s,
      static_cast<unsigned long long>(rs485_bytes - bytes_before), b.motor.rpm());
  std::printf("%s", cpu.profile_report().c_str());
  return m.halted() ? 1 : 0;
}
