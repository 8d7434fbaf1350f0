// The writable memory of the firmware and kernel linked into this program (their
// data and bss, gathered into sections of their own at build time), so that a
// board reset can give the firmware back the values it had at power-on, as the
// chip's start-up code does from flash.
#pragma once
#include <cstddef>

namespace sim {

// Takes the power-on image once; later calls do nothing. Call it before the
// firmware first runs.
void firmware_memory_snapshot();
// Puts the power-on image back. False if there is none (no snapshot taken, or a
// program built without the gathered sections).
bool firmware_memory_restore();
// Bytes covered (0 without the sections).
size_t firmware_memory_size();

}  // namespace sim
