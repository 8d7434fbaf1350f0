// The board's reset line on the emulated core, with the board image: pulled in
// the middle of the run, the core restarts as a Cortex-M3 does after a system
// reset (registers in their reset state, SRAM kept, nothing active or pending)
// and the run from there gives the console the very bytes of the first one.
// Under a debugger the core stays halted at its reset vector, breakpoints kept,
// and a reset due at a time waits while the debugger holds the core.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "emulated_cpu.h"
#include "machine.h"

namespace {

using board::Cycles;

constexpr Cycles kMs = board::kCpuHz / 1000;
constexpr Cycles kWindow = 300 * kMs;  // the banner and the first prompt, and some quiet
constexpr uint32_t kSpsel = 2, kThumb = 1u << 24, kIpsr = 0x1FFu;

// The board image on a board of its own; board and core kept to the end of the
// process, as a run that stopped may still be inside the core.
struct Unit {
  board::Board& board = *new board::Board();
  emu::ElfImage image;
  emu::EmulatedCpu* cpu = nullptr;
  std::string out;

  Unit() {
    EXPECT_EQ(image.load(TARVIK_IMAGE), "");
    cpu = new emu::EmulatedCpu(board, image, emu::EmulatedCpu::Config{});
    board.usart1.set_tx_sink([this](uint8_t c) { out.push_back(static_cast<char>(c)); });
  }
  uint32_t reg(unsigned r) const { return cpu->debug_register(r); }
  uint32_t vector(unsigned word) const {
    uint32_t v = 0;
    EXPECT_TRUE(cpu->read_memory(emu::Memory::kFlash + 4 * word, &v, 4));
    return v;
  }
  uint32_t address(const char* symbol) const {
    const emu::ElfSymbol* s = image.find(symbol);
    EXPECT_NE(s, nullptr) << symbol;
    return s != nullptr ? s->address : 0;
  }
  std::vector<uint8_t> sram() const {
    std::vector<uint8_t> bytes(emu::Memory::kRamSize);
    EXPECT_TRUE(cpu->read_memory(emu::Memory::kRam, bytes.data(), emu::Memory::kRamSize));
    return bytes;
  }
  // The console's bytes over the next `span` of virtual time.
  std::string console_for(Cycles span) {
    out.clear();
    board.run_until(board.now() + span);
    return out;
  }
  void run_to_halt() {
    const Cycles limit = board.now() + 100 * kMs;
    while (!cpu->debug_halted() && board.now() < limit) board.run_until(board.now() + kMs);
    ASSERT_TRUE(cpu->debug_halted());
  }
  // The core as reset leaves it, before it has run an instruction.
  void expect_reset_state() {
    EXPECT_EQ(reg(emu::kDebugSp), vector(0));
    EXPECT_EQ(reg(emu::kDebugMsp), vector(0));
    EXPECT_EQ(reg(emu::kDebugPsp), 0u);
    EXPECT_EQ(reg(emu::kDebugPc), vector(1) & ~1u);
    EXPECT_EQ(reg(emu::kDebugPc), address("Reset_Handler"));
    EXPECT_EQ(reg(emu::kDebugXpsr), kThumb);  // thread mode, flags clear
    EXPECT_EQ(reg(emu::kDebugLr), 0xFFFFFFFFu);
    EXPECT_EQ(reg(emu::kDebugControl), 0u);
    EXPECT_EQ(reg(emu::kDebugPrimask), 0u);
    EXPECT_EQ(reg(emu::kDebugBasepri), 0u);
    EXPECT_EQ(reg(emu::kDebugFaultmask), 0u);
    for (unsigned r = 0; r < 13; ++r) EXPECT_EQ(reg(r), 0u) << "r" << r;
    EXPECT_EQ(board.cpu.nesting(), 0);
    EXPECT_FALSE(board.cpu.any_pending());
    EXPECT_FALSE(board.cpu.halted());
  }
};

TEST(EmulatedCpuReset, MidRunTheCoreRestartsFromItsVectorWithSramKeptAndRepeatsItsRun) {
  Unit u;
  const std::string first = u.console_for(kWindow);
  ASSERT_NE(first.find("Start programm."), std::string::npos) << first;
  ASSERT_TRUE(first.ends_with("console>")) << first;

  // On, until a task runs on the process stack, so that the reset has a stack to leave.
  const Cycles limit = u.board.now() + 10 * kMs;
  while (!((u.reg(emu::kDebugControl) & kSpsel) && (u.reg(emu::kDebugXpsr) & kIpsr) == 0) &&
         u.board.now() < limit)
    u.board.run_until(u.board.now() + 37);
  ASSERT_LT(u.board.now(), limit) << "no task ran on the process stack";
  ASSERT_NE(u.reg(emu::kDebugPsp), 0u);
  const uint64_t instructions = u.cpu->instructions();

  const std::vector<uint8_t> before = u.sram();
  const Cycles at = u.board.now();
  u.board.reset();
  EXPECT_EQ(u.board.now(), at);
  u.expect_reset_state();
  EXPECT_TRUE(u.sram() == before) << "SRAM changed at the reset";

  const std::string again = u.console_for(kWindow);
  EXPECT_EQ(again, first);
  EXPECT_GT(u.cpu->instructions(), instructions);

  // Again and again, each from tens of cycles to a millisecond and a half into
  // the start-up: more resets than Unicorn takes runs inside runs, so each must
  // leave the run it cut short behind for good.
  for (Cycles into = 37; into < 80 * 1400; into += 1400) {
    u.board.run_until(u.board.now() + into);
    u.board.reset();
  }
  u.expect_reset_state();
  EXPECT_EQ(u.console_for(kWindow), first);
  EXPECT_EQ(u.board.resets(), 81u);
}

TEST(EmulatedCpuReset, UnderADebuggerTheCoreStaysHaltedAtItsVectorAndKeepsItsBreakpoints) {
  Unit u;
  u.cpu->attach_debugger(true);
  const std::string first = u.console_for(kWindow);
  u.cpu->halt();
  u.run_to_halt();
  ASSERT_TRUE(u.cpu->set_breakpoint(u.address("vPortSVCHandler"), true));

  // Pulled from outside while the debugger holds the core: halted at the vector
  // before its first instruction, time standing still.
  u.board.reset();
  u.expect_reset_state();
  const Cycles at = u.board.now();
  u.board.run_until(at + 10 * kMs);
  ASSERT_TRUE(u.cpu->debug_halted());
  EXPECT_EQ(u.cpu->debug_stop().reason, emu::DebugStop::Reason::requested);
  EXPECT_EQ(u.board.now(), at);
  u.expect_reset_state();

  // Pulled while a step runs (the run stops a cycle into it): the step ends at the vector.
  u.cpu->step();
  u.board.run_until(u.board.now() + 1);
  ASSERT_FALSE(u.cpu->debug_halted());
  u.board.reset();
  u.board.run_until(u.board.now() + kMs);
  ASSERT_TRUE(u.cpu->debug_halted());
  EXPECT_EQ(u.cpu->debug_stop().reason, emu::DebugStop::Reason::step);
  u.expect_reset_state();

  // The breakpoint set before the reset still holds.
  u.cpu->resume();
  u.run_to_halt();
  EXPECT_EQ(u.cpu->debug_stop().reason, emu::DebugStop::Reason::breakpoint);
  EXPECT_EQ(u.reg(emu::kDebugPc), u.address("vPortSVCHandler"));
  ASSERT_TRUE(u.cpu->set_breakpoint(u.address("vPortSVCHandler"), false));

  // The debugger's own reset (monitor reset), from the core's context while it
  // is halted there: it stays halted, now at the vector, whatever it was left with.
  for (unsigned r = 0; r < 13; ++r) ASSERT_TRUE(u.cpu->set_debug_register(r, 0x11111111u * r));
  ASSERT_TRUE(u.cpu->set_debug_register(emu::kDebugPrimask, 1));
  ASSERT_TRUE(u.cpu->set_debug_register(emu::kDebugBasepri, 0x40));
  ASSERT_TRUE(u.cpu->set_debug_register(emu::kDebugXpsr, 0xF8000000u));
  bool reset_done = false, halted_after = false;
  u.cpu->set_debug_service([&] {
    if (reset_done) return;
    reset_done = true;
    u.board.reset();
    halted_after = u.cpu->debug_halted();
  });
  u.board.run_until(u.board.now() + kMs);
  ASSERT_TRUE(reset_done);
  EXPECT_TRUE(halted_after);
  EXPECT_TRUE(u.cpu->debug_halted());
  u.expect_reset_state();
  EXPECT_EQ(u.board.resets(), 3u);

  u.cpu->resume();
  EXPECT_EQ(u.console_for(kWindow), first);
  EXPECT_FALSE(u.cpu->debug_halted());
}

// --reset-at's time is virtual: a debugger holding the core keeps it from coming,
// however often the front end runs the machine meanwhile.
TEST(EmulatedCpuReset, AResetAtATimeWaitsWhileTheDebuggerHoldsTheCore) {
  sim::Options o;
  o.image = TARVIK_IMAGE;
  o.reset_at_s = {0.2};
  sim::Machine m(o);
  emu::EmulatedCpu& cpu = *m.image();
  cpu.attach_debugger(true);
  m.run_until(sim::seconds(0.1));
  cpu.halt();
  for (int i = 0; i < 3; ++i) m.run_until(sim::seconds(0.3));
  ASSERT_TRUE(cpu.debug_halted());
  EXPECT_LT(m.now(), sim::seconds(0.2));
  EXPECT_EQ(m.board().resets(), 0u);

  cpu.resume();
  m.run_until(sim::seconds(0.3));
  EXPECT_EQ(m.board().resets(), 1u);
  EXPECT_EQ(m.now(), sim::seconds(0.3));
  EXPECT_FALSE(cpu.debug_halted());
}

}  // namespace
