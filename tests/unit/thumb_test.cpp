// Thumb-2 instructions as the emulated core's clock sees them, on encodings
// taken from the board image's disassembly.
#include "thumb.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using emu::Instruction;

struct Case {
  uint16_t hw1, hw2;
  int length, cycles, flags;
  const char* text;
};

constexpr int S = Instruction::kStore, B = Instruction::kBranch, I = Instruction::kIdleHint,
              L = Instruction::kSelfLoop;

TEST(Thumb, LengthsCyclesAndFlags) {
  const Case cases[] = {
      {0x2000, 0, 2, 1, 0, "movs r0, #0"},
      {0x4907, 0, 2, 2, 0, "ldr r1, [pc, #28]"},
      {0x9001, 0, 2, 2, S, "str r0, [sp, #4]"},
      {0x9b01, 0, 2, 2, 0, "ldr r3, [sp, #4]"},
      {0x5c8b, 0, 2, 2, 0, "ldrb r3, [r1, r2]"},
      {0x5253, 0, 2, 2, S, "strh r3, [r2, r1]"},
      {0x80cb, 0, 2, 2, S, "strh r3, [r1, #6]"},
      {0xc30c, 0, 2, 3, S, "stmia r3!, {r2, r3}"},
      {0xb508, 0, 2, 3, S, "push {r3, lr}"},
      {0xbd08, 0, 2, 3, B, "pop {r3, pc}"},
      {0xbc08, 0, 2, 2, 0, "pop {r3}"},
      {0xb90b, 0, 2, 1, B, "cbnz r3, ..."},
      {0xd1fc, 0, 2, 1, B, "bne.n ..."},
      {0xdf2a, 0, 2, 1, B, "svc 42"},
      {0xe7f7, 0, 2, 1, B, "b.n ..."},
      {0xe7fe, 0, 2, 1, B | L, "b.n ."},
      {0x4770, 0, 2, 1, B, "bx lr"},
      {0x46f7, 0, 2, 1, B, "mov pc, lr"},
      {0x4287, 0, 2, 1, 0, "cmp r7, r0"},
      {0xbf00, 0, 2, 1, I, "nop"},
      {0xbf30, 0, 2, 1, I, "wfi"},
      {0xbf40, 0, 2, 1, 0, "sev"},
      {0xbf18, 0, 2, 1, 0, "it ne"},
      {0xb672, 0, 2, 1, 0, "cpsid i"},
      {0xf7ff, 0xfd4a, 4, 1, B, "bl ..."},
      {0xf7ff, 0xbffe, 4, 1, B | L, "b.w ."},
      {0xf200, 0x8109, 4, 1, B, "bhi.w ..."},
      {0xf3ef, 0x8605, 4, 1, 0, "mrs r6, ipsr"},
      {0xf382, 0x8811, 4, 1, 0, "msr basepri, r2"},
      {0xf3af, 0x8000, 4, 1, I, "nop.w"},
      {0xf3bf, 0x8f6f, 4, 3, 0, "isb"},
      {0xf3bf, 0x8f4f, 4, 1, 0, "dsb"},
      {0xe8df, 0xf013, 4, 2, B, "tbh [pc, r3, lsl #1]"},
      {0xf8c3, 0x2200, 4, 2, S, "str.w r2, [r3, #512]"},
      {0xf8d3, 0x30cc, 4, 2, 0, "ldr.w r3, [r3, #204]"},
      {0xf85d, 0xfb04, 4, 2, B, "ldr pc, [sp], #4"},
      {0xe92d, 0x41f0, 4, 7, S, "push.w {r4-r8, lr}"},
      {0xe8bd, 0x81f0, 4, 7, B, "pop.w {r4-r8, pc}"},
      {0xe850, 0x1f00, 4, 2, 0, "ldrex r1, [r0]"},
      {0xe840, 0x2100, 4, 2, S, "strex r1, r2, [r0]"},
      {0xe9d0, 0x2300, 4, 3, 0, "ldrd r2, r3, [r0]"},
      {0xe9c0, 0x2300, 4, 3, S, "strd r2, r3, [r0]"},
      {0xfb00, 0xf001, 4, 1, 0, "mul r0, r0, r1"},
      {0xfb01, 0x2003, 4, 2, 0, "mla r0, r1, r3, r2"},
      {0xfba0, 0x2301, 4, 4, 0, "umull r2, r3, r0, r1"},
      {0xfbb0, 0xf0f1, 4, 7, 0, "udiv r0, r0, r1"},
      {0xfb90, 0xf0f1, 4, 7, 0, "sdiv r0, r0, r1"},
      {0xfab3, 0xf383, 4, 1, 0, "clz r3, r3"},
      {0xf04f, 0x23e0, 4, 1, 0, "mov.w r3, #0xe000e000"},
  };
  for (const Case& c : cases) {
    const Instruction i = emu::decode(c.hw1, c.hw2);
    EXPECT_EQ(i.length, c.length) << c.text;
    EXPECT_EQ(i.cycles, c.cycles) << c.text;
    EXPECT_EQ(i.flags, c.flags) << c.text;
  }
}

std::vector<uint8_t> bytes(std::initializer_list<uint16_t> halfwords) {
  std::vector<uint8_t> out;
  for (uint16_t h : halfwords) {
    out.push_back(static_cast<uint8_t>(h));
    out.push_back(static_cast<uint8_t>(h >> 8));
  }
  return out;
}

TEST(Thumb, BlocksSumTheirInstructions) {
  // Delay's count-down: ldr, subs, str, b; with a 32-bit bl before it.
  const auto loop = bytes({0x9b01, 0x3b01, 0x9301, 0xf7ff, 0xfd4a, 0xe7f7});
  const emu::BlockSummary s = emu::summarize(loop.data(), static_cast<uint32_t>(loop.size()));
  EXPECT_EQ(s.instructions, 5u);
  EXPECT_EQ(s.cycles, 2u + 1 + 2 + 1 + 1);
  EXPECT_EQ(s.flags, S | B);
}

TEST(Thumb, OnlyABlockOfOneBranchToItselfIsAnEndlessLoop) {
  const auto alone = bytes({0xe7fe});
  EXPECT_EQ(emu::summarize(alone.data(), 2).flags, B | L);
  // A conditional one falls through when its condition fails.
  const auto conditional = bytes({0xd0fe});
  EXPECT_EQ(emu::summarize(conditional.data(), 2).flags, B);
  // Another instruction before it makes a block that leaves the loop once.
  const auto after = bytes({0x2001, 0xe7fe});
  EXPECT_EQ(emu::summarize(after.data(), 4).flags, B);
}

TEST(Thumb, AHalfInstructionAtTheEndIsStillCounted) {
  // A block cut after the first halfword of a 32-bit instruction.
  const auto cut = bytes({0x2000, 0xf7ff});
  const emu::BlockSummary s = emu::summarize(cut.data(), 4);
  EXPECT_EQ(s.instructions, 2u);
}

}  // namespace
