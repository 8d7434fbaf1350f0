#include "thumb.h"

namespace emu {

namespace {

using F = Instruction::Flag;

constexpr Instruction one(uint8_t length, uint8_t cycles, uint8_t flags = 0) {
  return {length, cycles, flags};
}

uint8_t regs(uint32_t list) { return static_cast<uint8_t>(__builtin_popcount(list)); }

Instruction decode16(uint16_t hw) {
  if ((hw & 0xF800) == 0x4800) return one(2, 2);                                       // LDR literal
  if ((hw & 0xF000) == 0x5000) return one(2, 2, ((hw >> 9) & 7) < 3 ? F::kStore : 0);  // register offset
  if ((hw & 0xE000) == 0x6000 || (hw & 0xE000) == 0x8000)
    return one(2, 2, (hw & 0x0800) ? 0 : F::kStore);  // immediate offset, SP-relative
  if ((hw & 0xF000) == 0xC000)
    return one(2, static_cast<uint8_t>(1 + regs(hw & 0xFF)), (hw & 0x0800) ? 0 : F::kStore);
  if ((hw & 0xFE00) == 0xB400) return one(2, static_cast<uint8_t>(1 + regs(hw & 0x1FF)), F::kStore);  // PUSH
  if ((hw & 0xFE00) == 0xBC00)
    return one(2, static_cast<uint8_t>(1 + regs(hw & 0x1FF)), (hw & 0x100) ? F::kBranch : 0);  // POP
  if ((hw & 0xF500) == 0xB100) return one(2, 1, F::kBranch);                                   // CBZ, CBNZ
  if ((hw & 0xFF0F) == 0xBF00)
    return one(2, 1, (hw & 0xF0) <= 0x30 ? F::kIdleHint : 0);  // NOP, YIELD, WFE, WFI
  if ((hw & 0xF000) == 0xD000) return one(2, 1, F::kBranch);   // B<cond>, and UDF, SVC
  if ((hw & 0xF800) == 0xE000) return one(2, 1, hw == 0xE7FE ? F::kBranch | F::kSelfLoop : F::kBranch);
  if ((hw & 0xFF00) == 0x4700) return one(2, 1, F::kBranch);  // BX, BLX
  if ((hw & 0xFC00) == 0x4400) {                              // ADD, CMP, MOV with high registers
    const unsigned rd = (hw & 7u) | ((hw >> 4) & 8u);
    const unsigned op = (hw >> 8) & 3u;
    return one(2, 1, rd == 15 && op != 1 ? F::kBranch : 0);
  }
  return one(2, 1);
}

Instruction decode32(uint16_t hw1, uint16_t hw2) {
  if ((hw1 & 0xFE40) == 0xE800) {  // LDM, STM, PUSH.W, POP.W
    const bool load = hw1 & 0x10;
    return one(4, static_cast<uint8_t>(1 + regs(hw2)), load ? ((hw2 & 0x8000) ? F::kBranch : 0) : F::kStore);
  }
  if ((hw1 & 0xFE40) == 0xE840) {  // dual, exclusive, table branch
    if ((hw1 & 0xFFF0) == 0xE8D0 && (hw2 & 0xFFE0) == 0xF000) return one(4, 2, F::kBranch);  // TBB, TBH
    const bool load = hw1 & 0x10;
    const bool exclusive = (hw1 & 0xFFE0) == 0xE840 || ((hw1 & 0xFFE0) == 0xE8C0 && (hw2 & 0xE0) == 0x40);
    return one(4, exclusive ? 2 : 3, load ? 0 : F::kStore);
  }
  if ((hw1 & 0xF800) == 0xF000 && (hw2 & 0x8000)) {    // branches and miscellaneous control
    if ((hw2 & 0x5000) == 0x1000 || (hw2 & 0x4000)) {  // B.W, BL
      const bool self = (hw2 & 0xD000) == 0x9000 && hw1 == 0xF7FF && hw2 == 0xBFFE;
      return one(4, 1, self ? F::kBranch | F::kSelfLoop : F::kBranch);
    }
    if ((hw1 & 0x0380) != 0x0380) return one(4, 1, F::kBranch);  // B<cond>.W
    if ((hw1 & 0xFFF0) == 0xF3A0 && (hw2 & 0xFF00) == 0x8000)
      return one(4, 1, (hw2 & 0xFF) <= 3 ? F::kIdleHint : 0);                // NOP.W, YIELD.W, WFE.W, WFI.W
    if ((hw1 & 0xFFF0) == 0xF3B0 && (hw2 & 0xF0) == 0x60) return one(4, 3);  // ISB
    return one(4, 1);                                                        // MSR, MRS, DSB, DMB, CLREX, UDF
  }
  if ((hw1 & 0xFE00) == 0xF800) {  // single loads and stores
    const bool load = hw1 & 0x10;
    const bool to_pc = load && (hw1 & 0x60) == 0x40 && (hw2 >> 12) == 15;  // LDR PC
    return one(4, 2, load ? (to_pc ? F::kBranch : 0) : F::kStore);
  }
  if ((hw1 & 0xFF80) == 0xFB00)
    return one(4, (hw2 & 0xF0) == 0 && (hw2 >> 12) == 15 ? 1 : 2);  // MUL, MLA, MLS
  if ((hw1 & 0xFF80) == 0xFB80)
    return one(4, (hw1 & 0x50) == 0x10 && (hw2 & 0xF0) == 0xF0 ? 7 : 4);  // DIV, long
  return one(4, 1);
}

}  // namespace

Instruction decode(uint16_t hw1, uint16_t hw2) { return is_32bit(hw1) ? decode32(hw1, hw2) : decode16(hw1); }

BlockSummary summarize(const uint8_t* bytes, uint32_t size) {
  BlockSummary s;
  uint32_t at = 0;
  while (at + 2 <= size) {
    const auto hw1 = static_cast<uint16_t>(bytes[at] | bytes[at + 1] << 8);
    const auto hw2 = at + 4 <= size ? static_cast<uint16_t>(bytes[at + 2] | bytes[at + 3] << 8) : uint16_t{0};
    const Instruction i = decode(hw1, hw2);
    ++s.instructions;
    s.cycles += i.cycles;
    s.flags |= i.flags;
    at += i.length;
  }
  if (s.instructions != 1) s.flags &= static_cast<uint8_t>(~Instruction::kSelfLoop);
  return s;
}

}  // namespace emu
