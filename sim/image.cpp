#include "image.h"

#include <cstdio>
#include <cstdlib>

#include "gdb_server.h"

namespace sim {

std::string image_path(const Options& options) {
  if (!options.image.empty()) return options.image;
  const char* from_environment = std::getenv(kImageVariable);
  return from_environment != nullptr ? from_environment : "";
}

std::string image_problem(const Options& options) {
  const std::string path = image_path(options);
  if (path.empty()) return options.profile_irq ? "--profile-irq needs --image" : "";
  emu::ElfImage image;
  const std::string problem = image.load(path);
  return problem.empty() ? emu::image_misfit(image) : problem;
}

namespace {

// The task table's rows as the chip lays them out (main.h): the name's
// pointer at 0, the flags at 16, 24 bytes a row.
constexpr uint32_t kRowSize = 24, kRowFlags = 16;
constexpr uint8_t kTaskAutostart = 0x01;

uint32_t word_at(const uint8_t* p) {
  return p ? static_cast<uint32_t>(p[0] | p[1] << 8 | p[2] << 16 | p[3] << 24) : 0;
}

// --lcd-task on the image: the LCD row's start-up flags in the initialised data
// the reset sequence copies, so that main creates the task.
bool autostart_row(emu::EmulatedCpu& cpu, const std::string& task) {
  const emu::ElfSymbol* table = cpu.image().find("fTasks");
  if (table == nullptr) return false;
  for (uint32_t row = table->address;; row += kRowSize) {
    const uint32_t name_pointer = word_at(cpu.initial_data(row, 4));
    if (name_pointer == 0) return false;
    const uint32_t name = word_at(cpu.initial_data(name_pointer, 4));
    char text[17] = {};
    if (!cpu.read_memory(name, text, static_cast<uint32_t>(task.size() + 1)) || task != text) continue;
    uint8_t* flags = cpu.initial_data(row + kRowFlags, 1);
    if (flags == nullptr) return false;
    *flags |= kTaskAutostart;
    return true;
  }
}

}  // namespace

emu::EmulatedCpu* start_image(board::Board& b, const Options& options) {
  const std::string path = image_path(options);
  if (path.empty()) return nullptr;
  emu::EmulatedCpu::Config config;
  config.profile = options.profile_irq;
  std::string error;
  emu::EmulatedCpu* cpu = emu::run_image(b, path, config, error);
  if (cpu == nullptr) {
    std::fprintf(stderr, "tarvik-sim: %s\n", error.c_str());
    std::exit(2);
  }
  if (options.lcd_task && !autostart_row(*cpu, "LCD")) {
    std::fprintf(stderr, "tarvik-sim: --lcd-task: the image has no LCD row in its task table\n");
    std::exit(2);
  }
  start_gdb_server(b, *cpu, options);
  return cpu;
}

std::string image_report(const emu::EmulatedCpu* cpu, const Options& options) {
  finish_gdb_server();  // the run is over: an attached debugger hears so
  if (cpu == nullptr || !options.profile_irq) return "";
  char totals[160];
  std::snprintf(totals, sizeof totals, "tarvik-sim: %llu instructions, %llu tail-chains, %llu idle jumps\n",
                static_cast<unsigned long long>(cpu->instructions()),
                static_cast<unsigned long long>(cpu->tail_chains()),
                static_cast<unsigned long long>(cpu->idle_jumps()));
  return "tarvik-sim: interrupt handlers on the emulated core (own work, nested handlers not counted):\n" +
         cpu->profile_report() + totals;
}

}  // namespace sim
