// The board image run on the emulated Cortex-M3 in place of the firmware
// compiled for the host: every front end and option works with either.
#pragma once
#include <string>

#include "board.h"
#include "emulated_cpu.h"
#include "sim.h"

namespace sim {

// The variable that names an image when no --image is given (how the tests run
// the whole-system suite on the image).
constexpr const char* kImageVariable = "TARVIK_SIM_IMAGE";

// --image, else $TARVIK_SIM_IMAGE, else "" for the firmware compiled for the host.
std::string image_path(const Options& options);
// What keeps the options' image from running, or "".
std::string image_problem(const Options& options);
// Puts the options' image on the board's emulated core; null for the host
// firmware. An image that cannot run ends the program (status 2).
emu::EmulatedCpu* start_image(board::Board& b, const Options& options);
// What the run leaves to report on standard error (the --profile-irq table).
std::string image_report(const emu::EmulatedCpu* cpu, const Options& options);

}  // namespace sim
