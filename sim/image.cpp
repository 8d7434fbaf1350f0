#include "image.h"

#include <cstdio>
#include <cstdlib>

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
  return image.load(path);
}

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
  return cpu;
}

std::string image_report(const emu::EmulatedCpu* cpu, const Options& options) {
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
