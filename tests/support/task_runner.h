// Runs a test body as a kernel task on the simulated board, for code that may
// only be called from tasks (it blocks on mutexes, prints on the console).
#pragma once
#include <vector>

#include "FreeRTOS.h"
#include "task.h"

namespace test {

// `setup` runs on the main stack before the scheduler starts (mutexes and the
// like); then `body` runs as a task of priority 2, created before `others`.
// Virtual time runs for `seconds`. Returns whether `body` came to its end.
bool run_in_task(void (*setup)(), void (*body)(), const std::vector<pdTASK_CODE>& others, double seconds);

}  // namespace test
