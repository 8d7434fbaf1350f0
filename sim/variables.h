// The firmware's variables by name, on either CPU: the board image's through its
// ELF symbols, the host build's through this program's own symbol table, where
// the firmware's and the kernel's writable data sit in sections of their own
// (see firmware_memory.h). Names as C++ spells them ("engine3_pulse",
// "(anonymous namespace)::free_bytes") or mangled.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "emulated_cpu.h"

namespace sim {

// The variable's bytes as the firmware sees them now (its symbol's size); false
// with the reason in `error`. `image` is the emulated core, or null for the host
// build. Before the image's first instruction (`started` false) its RAM holds
// nothing yet: the value is the one its reset sequence gives it, as the host
// build's variables have theirs from the start.
bool read_firmware_variable(emu::EmulatedCpu* image, bool started, const std::string& name,
                            std::vector<uint8_t>& bytes, std::string& error);

}  // namespace sim
