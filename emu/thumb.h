// Thumb-2 instructions as the emulated core's clock sees them: length, an
// estimate of their cycles on the Cortex-M3, and what matters to the core's
// bookkeeping (stores, branches, idle hints). Blocks are summarised once, when
// first executed, so that the normal run needs no per-instruction hook.
//
// Cycle estimate (after the Cortex-M3 technical reference manual's figures,
// without pipelining between neighbouring loads and stores):
//   data processing, moves, compares, MUL, MRS, MSR, CPS, IT, hints     1
//   a load or store of one register (LDR*, STR*, LDREX, STREX)         2
//   LDRD, STRD                                                          3
//   LDM, STM, PUSH, POP                                                 1 + registers
//   MLA, MLS 2; long multiplies 4; SDIV, UDIV 7 (2 to 12 on the chip)
//   ISB                                                                 3
//   a branch 1, and kBranchRefill more when it is taken (the core adds
//   those when the next block is not the one that follows)
// The flash's wait states are taken as hidden by the prefetch buffer.
#pragma once
#include <cstdint>

namespace emu {

constexpr uint32_t kBranchRefill = 2;

struct Instruction {
  enum Flag : uint8_t {
    kStore = 1,     // writes memory
    kBranch = 2,    // may change the flow (branch, load of PC, exception return)
    kIdleHint = 4,  // NOP, YIELD, WFE, WFI
    kSelfLoop = 8,  // an unconditional branch to itself
  };
  uint8_t length;  // 2 or 4 bytes
  uint8_t cycles;
  uint8_t flags;
};

// The instruction whose first halfword is `hw1` (and second `hw2`, if 32-bit).
Instruction decode(uint16_t hw1, uint16_t hw2);
constexpr bool is_32bit(uint16_t hw1) { return (hw1 >> 11) >= 0x1D; }

struct BlockSummary {
  uint32_t instructions = 0;
  uint32_t cycles = 0;  // taken branches not included
  uint8_t flags = 0;    // the union of the instructions' flags, kSelfLoop only for a block of one
};

// `bytes` holds the block's `size` bytes of code, in memory order.
BlockSummary summarize(const uint8_t* bytes, uint32_t size);

}  // namespace emu
