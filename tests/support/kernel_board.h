// A simulated board that runs test tasks on the kernel instead of the firmware:
// the test's set-up creates tasks, then the scheduler starts.
#pragma once
#include <string>

#include "FreeRTOS.h"
#include "board.h"
#include "task.h"

namespace test {

// Boots the board with the console line configured, runs `setup` on the main
// stack, starts the scheduler, and runs virtual time up to `seconds`.
void run_kernel(void (*setup)(), double seconds);
// Continues a run started by run_kernel.
void run_more(double seconds);
// What went out on the console line so far.
const std::string& console_output();
double now_seconds();

}  // namespace test
