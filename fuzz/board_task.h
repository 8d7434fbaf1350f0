// The simulated board for fuzz programs that need the firmware around them. One
// board per process, as everywhere on the host.
#pragma once
#include <string>

#include "board.h"

namespace fuzz {

// Runs job(arg) in a task of a board set up like the unit's (console line, variable
// store with its defaults, display initialised), booting the board on the first
// call; returns when the job has ended. A job that does not end within `seconds`
// of virtual time, or a halted board, is a finding: it aborts.
void run_in_task(void (*job)(void*), void* arg, double seconds = 10);

// Boots the unit's own firmware, all tasks of its table, and runs it until the
// console's first prompt.
void boot_firmware();

// Everything sent on the console line so far.
std::string& console();

}  // namespace fuzz
