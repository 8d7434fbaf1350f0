// The board image on the emulated Cortex-M3: its memory figures, virtual seconds
// per wall second idling at the prompt and with motor 3 under the PID regulator
// (RS485 streaming), the interrupt handlers' instruction and cycle counts, the
// motor interrupts' share of the processor, the cost of a task switch, and the
// longest acceleration ramp that still fits in the kernel heap after start-up.
//
//   bench_image [ELF [IDLE_S [PID_S]]]   the figures above
//   bench_image ELF --lcd-task [PID_S]   the PID run with the LCD task redrawing
//
// Only one board lives in a process, so the ramp is probed in child processes,
// each on a fresh board, before this process builds its own.
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "machine.h"

namespace {

using emu::HandlerProfile;

constexpr const char* kPidCommand = "e3on\re3pid -f=0 500\r";
constexpr uint32_t kDefaultPeriod = 1000;  // engine3_period at reset
constexpr uint32_t kHeapHeader = 8, kHeapAlign = 8;  // the kernel heap's block header and alignment

double cpu_seconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

// Wall seconds for `virtual_seconds` of the board, and in `cpu` the processor
// seconds this process took meanwhile (what other load on the machine leaves alone).
double wall_seconds(sim::Machine& m, double virtual_seconds, double& cpu) {
  const double cpu_start = cpu_seconds();
  const auto start = std::chrono::steady_clock::now();
  m.run_until(m.now() + sim::seconds(virtual_seconds));
  cpu = cpu_seconds() - cpu_start;
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The profile of the handler called `name`, or an empty one.
HandlerProfile handler(const emu::EmulatedCpu& cpu, const std::string& name) {
  for (const HandlerProfile& p : cpu.profile())
    if (p.name == name) return p;
  return HandlerProfile{};
}

uint32_t symbol(const emu::ElfImage& image, const char* name) {
  const emu::ElfSymbol* s = image.find(name);
  return s == nullptr ? 0 : s->address;
}

// Profile entries of a ramp of `ms` at the default period, and the heap block
// its table takes (one entry more than the stepping can write, 16 bits each).
uint32_t ramp_steps(uint32_t ms) { return (ms * 10000u / kDefaultPeriod) >> 6; }
uint32_t ramp_block(uint32_t ms) {
  const uint32_t bytes = 2 * (ramp_steps(ms) + 3) + kHeapHeader;
  return (bytes + kHeapAlign - 1) & ~(kHeapAlign - 1);
}

// On a fresh board in a child process: types `e3acc MS` as the first command and
// says whether the image answered "OK." (0), "Error." (1), or neither (2).
int probe_ramp(const std::string& elf, uint32_t ms) {
  std::fflush(stdout);
  const pid_t child = fork();
  if (child < 0) return 2;
  if (child == 0) {
    sim::Options options;
    options.image = elf;
    sim::Machine m(options);
    board::Board& b = m.board();
    std::string out;
    b.usart1.set_tx_sink([&](uint8_t c) { out.push_back(static_cast<char>(c)); });
    sim::LineInput console(b, b.usart1, sim::LineInput::Mode::paced);
    m.run_until(sim::seconds(0.5));  // at the prompt
    const size_t from = out.size();
    console.push("e3acc " + std::to_string(ms) + "\r");
    auto answered = [&] {
      return out.find("OK.\r\n", from) != std::string::npos || out.find("Error.\r\n", from) != std::string::npos;
    };
    m.run_while([&] { return !answered(); }, sim::seconds(0.01), m.now() + sim::seconds(10));
    _exit(out.find("OK.\r\n", from) != std::string::npos ? 0 : answered() ? 1 : 2);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 2;
}

// The longest ramp (ms, whole milliseconds) whose table the image still obtains
// as the first command after start-up, by bisection between a time that fits
// and one that cannot; -1 if the image does not behave as expected.
long longest_ramp(const std::string& elf, uint32_t fits, uint32_t too_long) {
  if (probe_ramp(elf, fits) != 0 || probe_ramp(elf, too_long) != 1) return -1;
  while (too_long - fits > 1) {
    const uint32_t mid = fits + (too_long - fits) / 2;
    const int answer = probe_ramp(elf, mid);
    if (answer == 2) return -1;
    (answer == 0 ? fits : too_long) = mid;
  }
  return fits;
}

void print_handler(const HandlerProfile& p, const char* name) {
  if (p.runs == 0) {
    std::printf("handler %s: no runs\n", name);
    return;
  }
  std::printf(
      "handler %s: %llu runs, instructions mean %.1f worst %llu, estimated cycles mean %.1f worst %llu\n", name,
      static_cast<unsigned long long>(p.runs), static_cast<double>(p.instructions) / static_cast<double>(p.runs),
      static_cast<unsigned long long>(p.max_instructions), static_cast<double>(p.cycles) / static_cast<double>(p.runs),
      static_cast<unsigned long long>(p.max_cycles));
}

// Scenario (c): the PID run with the LCD task redrawing its menu.
int lcd_task_run(const std::string& elf, double pid_s) {
  sim::Options options;
  options.image = elf;
  options.lcd_task = true;
  sim::Machine m(options);
  board::Board& b = m.board();
  b.usart1.set_tx_sink([](uint8_t) {});
  uint64_t rs485_bytes = 0;
  b.rs485.on_byte = [&](uint8_t) { ++rs485_bytes; };
  sim::LineInput console(b, b.usart1, sim::LineInput::Mode::paced);
  m.run_until(sim::seconds(1.0));
  console.push(kPidCommand);
  m.run_until(m.now() + sim::seconds(5.0));  // typed, regulating
  const uint64_t instructions = m.image()->instructions(), bytes_before = rs485_bytes;
  double cpu = 0;
  const double wall = wall_seconds(m, pid_s, cpu);
  std::printf(
      "motor under PID with RS485 streaming and the LCD task: %.1f virtual s in %.3f wall s = %.1fx real time "
      "(%.1fx per processor second, %.0f instructions a virtual s, %llu RS485 bytes, %llu busy-wait turns run "
      "at once)\n",
      pid_s, wall, pid_s / wall, pid_s / cpu, static_cast<double>(m.image()->instructions() - instructions) / pid_s,
      static_cast<unsigned long long>(rs485_bytes - bytes_before),
      static_cast<unsigned long long>(m.image()->count_down_turns()));
  return m.halted() ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string elf = argc > 1 ? argv[1] : "build/arm/tarvik.elf";
  if (argc > 2 && std::strcmp(argv[2], "--lcd-task") == 0)
    return lcd_task_run(elf, argc > 3 ? std::atof(argv[3]) : 10.0);
  const double idle_s = argc > 2 ? std::atof(argv[2]) : 60.0;
  const double pid_s = argc > 3 ? std::atof(argv[3]) : 20.0;

  sim::Options options;
  options.image = elf;
  options.profile_irq = true;

  // The image's memory, from the linker's bounds.
  emu::ElfImage image;
  if (const std::string error = image.load(elf); !error.empty()) {
    std::fprintf(stderr, "bench_image: %s\n", error.c_str());
    return 2;
  }
  const uint32_t ram = symbol(image, "_ram_origin");
  std::printf("image: flash %u bytes, static RAM %u bytes, main stack left %u bytes\n",
              symbol(image, "_flash_used"), symbol(image, "_ebss") - ram,
              symbol(image, "_estack") - symbol(image, "_ebss"));

  // Probed before this process builds its board: each probe needs a fresh one.
  // A minute of ramp needs more table than the whole heap holds.
  const long ramp_ms = longest_ramp(elf, 0, 60000);

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
  if (heap_known) {
    if ((initialised & 0xFF) == 0) free_bytes = 0;
    std::printf("kernel heap free once the scheduler started (at %.6f s): %u bytes\n", sim::to_seconds(m.now()),
                free_bytes);
    // If the free heap were one block: the longest ramp whose table fits it.
    uint32_t ms = 0;
    while (ramp_block(ms + 1) <= free_bytes) ++ms;
    std::printf("longest ramp whose table fits the free heap as one block: %u ms (%u entries)\n", ms,
                ramp_steps(ms) + 3);
  } else {
    std::printf("kernel heap: the image has no heap symbols\n");
  }
  if (ramp_ms >= 0)
    std::printf("longest acceleration ramp the image accepts first after start-up: %ld ms (%u entries, %u bytes)\n",
                ramp_ms, ramp_steps(static_cast<uint32_t>(ramp_ms)) + 3, ramp_block(static_cast<uint32_t>(ramp_ms)));
  else
    std::printf("longest acceleration ramp: the image did not answer e3acc as expected\n");

  m.run_until(sim::seconds(1.0));
  const uint64_t idle_instructions = cpu.instructions();
  double idle_cpu = 0;
  const double idle_wall = wall_seconds(m, idle_s, idle_cpu);
  std::printf(
      "idle at the prompt: %.1f virtual s in %.3f wall s = %.1fx real time (%.1fx per processor second, %.0f "
      "instructions a virtual s)\n",
      idle_s, idle_wall, idle_s / idle_wall, idle_s / idle_cpu,
      static_cast<double>(cpu.instructions() - idle_instructions) / idle_s);

  sim::LineInput console(b, b.usart1, sim::LineInput::Mode::paced);
  console.push(kPidCommand);
  m.run_until(m.now() + sim::seconds(5.0));  // typed, regulating
  const uint64_t pid_instructions = cpu.instructions(), bytes_before = rs485_bytes;
  const HandlerProfile tim3_before = handler(cpu, "vEngine3Handler"), tim4_before = handler(cpu, "vEngine4Handler");
  const board::Cycles pid_start = m.now();
  double pid_cpu = 0;
  const double pid_wall = wall_seconds(m, pid_s, pid_cpu);
  std::printf(
      "motor under PID with RS485 streaming: %.1f virtual s in %.3f wall s = %.1fx real time "
      "(%.1fx per processor second, %.0f instructions a virtual s, %llu RS485 bytes, %.0f rpm)\n",
      pid_s, pid_wall, pid_s / pid_wall, pid_s / pid_cpu,
      static_cast<double>(cpu.instructions() - pid_instructions) / pid_s,
      static_cast<unsigned long long>(rs485_bytes - bytes_before), b.motor.rpm());

  const HandlerProfile tim3 = handler(cpu, "vEngine3Handler"), tim4 = handler(cpu, "vEngine4Handler");
  print_handler(tim3, "vEngine3Handler");
  print_handler(tim4, "vEngine4Handler");
  // Their share of the processor during the PID run, at the default period: the
  // handlers' own cycles, and with the core's exception entry and return per run.
  const double elapsed = static_cast<double>(m.now() - pid_start);
  const uint64_t runs = (tim3.runs - tim3_before.runs) + (tim4.runs - tim4_before.runs);
  const double own = static_cast<double>((tim3.cycles - tim3_before.cycles) + (tim4.cycles - tim4_before.cycles));
  const double overhead =
      static_cast<double>(runs) * static_cast<double>(board::CpuTiming::kExceptionEntry + board::CpuTiming::kExceptionReturn);
  std::printf(
      "motor interrupts at period %u: %.2f %% of the processor with exception entry and return (%.2f %% in the "
      "handlers; %.0f runs a virtual s)\n",
      kDefaultPeriod, 100.0 * (own + overhead) / elapsed, 100.0 * own / elapsed,
      static_cast<double>(runs) / sim::to_seconds(m.now() - pid_start));

  // A switch: the PendSV handler, then the exception return into the new task.
  const HandlerProfile pendsv = handler(cpu, "xPortPendSVHandler");
  if (pendsv.runs > 0) {
    const double ret = static_cast<double>(board::CpuTiming::kExceptionReturn);
    std::printf(
        "task switch from PendSV entry to the new task's first instruction: %llu switches, instructions mean "
        "%.1f worst %llu, estimated cycles mean %.1f worst %.0f\n",
        static_cast<unsigned long long>(pendsv.runs),
        static_cast<double>(pendsv.instructions) / static_cast<double>(pendsv.runs),
        static_cast<unsigned long long>(pendsv.max_instructions),
        static_cast<double>(pendsv.cycles) / static_cast<double>(pendsv.runs) + ret,
        static_cast<double>(pendsv.max_cycles) + ret);
  }
  std::printf("%s", cpu.profile_report().c_str());
  return m.halted() ? 1 : 0;
}
