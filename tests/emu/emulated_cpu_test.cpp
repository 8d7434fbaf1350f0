// The emulated Cortex-M3's exception model, memory map and clock, seen from
// scenario programs (programs/checks.c) built with the board's toolchain, and
// the kernel port test image of the board build, which passes on QEMU too.
#include "emulated_cpu.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using board::Cycles;

constexpr uint32_t kFlags = 0xF8000000u, kThumb = 1u << 24;

// Records the board time of every write (the programs' markers).
class Marker : public board::Peripheral {
 public:
  explicit Marker(board::Board& b) : board_(b) {}
  uint32_t read(uint32_t) override { return 0; }
  void write(uint32_t, uint32_t value) override { writes.push_back({value, board_.now()}); }
  std::vector<std::pair<uint32_t, Cycles>> writes;

 private:
  board::Board& board_;
};

// QEMU mps2-an385's UART0 as far as the port test uses it: bytes written to DATA.
class Mps2Uart : public board::Peripheral {
 public:
  uint32_t read(uint32_t) override { return 0; }  // never full
  void write(uint32_t offset, uint32_t value) override {
    if (offset == 0) text.push_back(static_cast<char>(value));
  }
  std::string text;
};

// One program on a board of its own. Boards and cores stay alive to the end of
// the process: a run that stopped may still be inside the core.
struct Program {
  board::Board& board = *new board::Board();
  emu::EmulatedCpu* cpu = nullptr;
  Marker marker{board};
  emu::ElfImage image;

  explicit Program(const std::string& path, emu::EmulatedCpu::Config config = semihosting()) {
    const std::string problem = image.load(path);
    EXPECT_EQ(problem, "");
    // These programs set no clocks up: their core runs at 72 MHz from the start,
    // one board cycle a core cycle, whatever RCC says.
    board.rcc.attach_clock(nullptr, nullptr);
    board.cpu.set_core_clock(board::kCpuHz);
    cpu = new emu::EmulatedCpu(board, image, config);
    cpu->attach_device(0x4000F000u, 0x400, &marker);
    kept().emplace_back(&board, cpu);
  }
  static std::vector<std::pair<board::Board*, emu::EmulatedCpu*>>& kept() {
    static auto* all = new std::vector<std::pair<board::Board*, emu::EmulatedCpu*>>();
    return *all;
  }
  // The scenario program with `scenario` chosen in its start-up data.
  explicit Program(uint32_t scenario) : Program(EMU_CHECKS_ELF) {
    const emu::ElfSymbol* s = image.find("scenario");
    EXPECT_NE(s, nullptr);
    if (s != nullptr) std::memcpy(cpu->initial_data(s->address, 4), &scenario, 4);
  }
  Program(const Program&) = delete;
  static emu::EmulatedCpu::Config semihosting() {
    emu::EmulatedCpu::Config c;
    c.semihosting = true;
    c.profile = true;
    return c;
  }
  // Runs until the program ends (or `seconds` of virtual time).
  void run(double seconds = 0.1) {
    const Cycles limit = static_cast<Cycles>(seconds * board::kCpuHz);
    while (!board.cpu.halted() && board.now() < limit) board.run_until(board.now() + board::kCpuHz / 1000);
  }
  uint32_t word(const std::string& symbol, unsigned index = 0) {
    const emu::ElfSymbol* s = image.find(symbol);
    uint32_t v = 0xDEADBEEF;
    EXPECT_NE(s, nullptr) << symbol;
    if (s != nullptr) {
      EXPECT_TRUE(cpu->read_memory(s->address + 4 * index, &v, 4));
    }
    return v;
  }
  std::vector<uint32_t> log() {
    std::vector<uint32_t> v;
    for (uint32_t i = 0; i < word("log_count"); ++i) v.push_back(word("log_", i));
    return v;
  }
};

TEST(EmulatedCpu, ResetLoadsTheStackAndEntryFromTheAliasAndTheStartUpRuns) {
  Program r(0u);  // no such scenario: the program ends at once, reporting a failure
  r.run();
  EXPECT_EQ(r.cpu->exit_status(), 1);
  EXPECT_EQ(r.word("seen", 15), 1u);  // .data copied from flash, .bss cleared
  EXPECT_EQ(r.board.cpu.halt_reason(), "the image ended the run with status 1");
}

TEST(EmulatedCpu, EntryStacksTheFrameOnTheProcessStackAndReturnRestoresEverything) {
  Program r(1);
  r.run();
  ASSERT_EQ(r.cpu->exit_status(), 0) << r.board.cpu.halt_reason();
  const uint32_t lr = r.word("seen", 0), psp = r.word("seen", 1), msp = r.word("seen", 2);
  EXPECT_EQ(lr, 0xFFFFFFFDu);         // back to thread mode on the process stack
  EXPECT_EQ(r.word("seen", 3), 16u);  // IPSR: IRQ 0
  EXPECT_EQ(r.word("seen", 4), 0u);   // CONTROL.SPSEL clear in handler mode
  EXPECT_NE(psp, msp);                // the handler ran on the main stack
  EXPECT_LT(msp, 0x20005000u);
  // The frame (seen 5 to 12): r0-r3, r12, lr, the return address, xPSR.
  const uint32_t expected[4] = {0x10101010u, 0x21212121u, 0x32323232u, 0x43434343u};
  for (int i = 0; i < 4; ++i) EXPECT_EQ(r.word("seen", 5 + i), expected[i]) << i;
  EXPECT_EQ(r.word("seen", 9), 0xC5C5C5C5u);
  // Taken at the ISB after the pending write: the frame returns to the next instruction.
  EXPECT_EQ(r.word("seen", 11), r.image.find("frame_isb")->address + 4);
  EXPECT_EQ(r.word("seen", 12), kFlags | kThumb);  // NZCVQ stacked, IPSR 0
  // Thread side after the return: registers, flags, stack and CONTROL as before.
  for (int i = 0; i < 4; ++i) EXPECT_EQ(r.word("after", i), expected[i]) << i;
  EXPECT_EQ(r.word("after", 4), 2u);  // CONTROL.SPSEL set again
  EXPECT_EQ(r.word("after", 5) & kFlags, kFlags);
  EXPECT_EQ(r.word("after", 6), psp + 32);  // the frame was popped off the process stack
  EXPECT_EQ(r.word("after", 7), 0xC5C5C5C5u);
}

TEST(EmulatedCpu, HigherPriorityNestsTheEqualOneWaitsAndIsTailChained) {
  Program r(2);
  r.run();
  ASSERT_EQ(r.cpu->exit_status(), 0) << r.board.cpu.halt_reason();
  EXPECT_EQ(r.log(), (std::vector<uint32_t>{1, 2, 0xE1, 3}));
  EXPECT_EQ(r.word("seen", 0), 0xFFFFFFF1u);  // nested: back to handler mode
  EXPECT_EQ(r.word("seen", 1), 0xFFFFFFF9u);  // tail-chained on IRQ 1's frame, to thread mode
  EXPECT_EQ(r.cpu->tail_chains(), 1u);
  EXPECT_EQ(r.board.cpu.nesting(), 0);
}

TEST(EmulatedCpu, BasepriMasksByPriorityPrimaskMasksAllAndUnmaskingTakesThemAtOnce) {
  Program r(3);
  r.run();
  ASSERT_EQ(r.cpu->exit_status(), 0) << r.board.cpu.halt_reason();
  // A: IRQ 1 (0xC0) waits under BASEPRI 0x80 while IRQ 2 (0x40) runs; lowering
  // BASEPRI lets IRQ 1 in before the next instruction (C); PRIMASK holds IRQ 2
  // until CPSIE, which lets it in before E.
  EXPECT_EQ(r.log(), (std::vector<uint32_t>{0xA, 2, 0xB, 1, 2, 0xE1, 0xC, 0xD, 2, 0xE}));
}

TEST(EmulatedCpu, SvcSeesItsCallersFrameAndAnswersThroughIt) {
  Program r(4);
  r.run();
  ASSERT_EQ(r.cpu->exit_status(), 0) << r.board.cpu.halt_reason();
  EXPECT_EQ(r.word("seen", 0), 0x5ECu);   // stacked r0
  EXPECT_EQ(r.word("seen", 1), 0xDF2Au);  // SVC 42 just before the return address
  EXPECT_EQ(r.word("seen", 2), 0x5EDu);   // r0 as the handler left it in the frame
  EXPECT_EQ(r.board.cpu.exceptions_taken(board::ExceptionModel::kSvc), 1u);
}

TEST(EmulatedCpu, TickAndPendSvKeepTheirRateWhileAnIdleLoopCostsNothing) {
  Program r(5);
  r.run(0.2);
  ASSERT_EQ(r.cpu->exit_status(), 0) << r.board.cpu.halt_reason();
  EXPECT_EQ(r.word("ticks"), 1000u);
  EXPECT_EQ(r.word("pendsvs"), 100u);
  // 1000 ticks of 100 us: the program ended after 0.1 s, give or take the
  // handlers' own time.
  ASSERT_EQ(r.marker.writes.size(), 1u);
  EXPECT_NEAR(static_cast<double>(r.marker.writes[0].second) / board::kCpuHz, 0.1, 0.0005);
  // The idle loop went round once or twice per tick, not millions of times.
  EXPECT_LT(r.cpu->instructions(), 100000u);
  EXPECT_GE(r.cpu->idle_jumps(), 1000u);
}

TEST(EmulatedCpu, WfiSleepsUntilAnInterruptMayRun) {
  Program r(14);
  r.run(0.2);
  ASSERT_EQ(r.cpu->exit_status(), 0) << r.board.cpu.halt_reason();
  EXPECT_EQ(r.word("ticks"), 1000u);
  ASSERT_EQ(r.marker.writes.size(), 1u);
  EXPECT_NEAR(static_cast<double>(r.marker.writes[0].second) / board::kCpuHz, 0.1, 0.0005);
  EXPECT_LT(r.cpu->instructions(), 100000u);
}

TEST(EmulatedCpu, AStoreToFlashIsAFaultReportedWithItsAddressAndRegisters) {
  Program r(6);
  r.run();
  EXPECT_EQ(r.cpu->exit_status(), -1);
  const std::string& why = r.board.cpu.halt_reason();
  EXPECT_EQ(why.rfind("fault: write to read-only address 0x08000100 at pc 0x08", 0), 0u) << why;
  EXPECT_NE(why.find("(main+0x"), std::string::npos) << why;
  EXPECT_NE(why.find("r0="), std::string::npos);
  EXPECT_NE(why.find("psp="), std::string::npos);
  // The core is stopped; the board's time goes on.
  const Cycles t = r.board.now();
  r.board.run_until(t + board::kCpuHz / 100);
  EXPECT_EQ(r.board.now(), t + board::kCpuHz / 100);
}

TEST(EmulatedCpu, AReadOfUnmappedMemoryIsAFault) {
  Program r(7);
  r.run();
  EXPECT_EQ(r.board.cpu.halt_reason().rfind("fault: read of unmapped address 0x30000000", 0), 0u)
      << r.board.cpu.halt_reason();
}

TEST(EmulatedCpu, ABranchToItselfHaltsTheBoardNamingTheFunction) {
  Program r(8);
  r.board.run_until(board::kCpuHz / 20);
  EXPECT_TRUE(r.board.cpu.halted());
  EXPECT_NE(r.board.cpu.halt_reason().find("endless loop at 0x08"), std::string::npos);
  EXPECT_NE(r.board.cpu.halt_reason().find("(stop_here)"), std::string::npos) << r.board.cpu.halt_reason();
  EXPECT_EQ(r.board.now(), board::kCpuHz / 20);  // time went on without the loop's cost
  EXPECT_LT(r.cpu->instructions(), 1000u);
}

TEST(EmulatedCpu, BitBandAliasesReachThePeripheralsAndSram) {
  Program r(9);
  r.run();
  ASSERT_EQ(r.cpu->exit_status(), 0) << r.board.cpu.halt_reason();
  EXPECT_EQ(r.word("seen", 0), 1u << 9);  // GPIOA_ODR through the bus
  EXPECT_EQ(r.word("seen", 1), 1u);       // read back through the alias
  EXPECT_TRUE(r.board.gpioa.level(9));    // the pin model saw it
  EXPECT_EQ(r.word("seen", 2), 1u << 5);  // one bit of an SRAM word
  // The board's CRC unit answered, as it does to the native firmware.
  board::Crc reference;
  reference.write(0, 0x12345678u);
  EXPECT_EQ(r.word("seen", 3), reference.read(0));
}

TEST(EmulatedCpu, ALoopCostsItsInstructionsEstimate) {
  Program r(10);
  r.run();
  ASSERT_EQ(r.marker.writes.size(), 3u);  // before and after the loop, and at the end
  // SUBS 1, BNE 1, and 2 for the refill each time the branch is taken.
  const Cycles loop = r.marker.writes[1].second - r.marker.writes[0].second;
  EXPECT_NEAR(static_cast<double>(loop), 10000.0 * 4, 40.0);
}

TEST(EmulatedCpu, ACountDownBusyWaitRunsAtOnceYetTakesItsTimeAndItsInterrupts) {
  // The same loop, once in the shape the core runs many turns at a time and once
  // in one it runs turn by turn: the same time, ticks, instructions and end.
  Program fast(15), slow(16);
  fast.run();
  slow.run();
  ASSERT_EQ(fast.cpu->exit_status(), 0) << fast.board.cpu.halt_reason();
  ASSERT_EQ(slow.cpu->exit_status(), 0) << slow.board.cpu.halt_reason();
  EXPECT_GT(fast.cpu->count_down_turns(), 19000u);
  EXPECT_EQ(slow.cpu->count_down_turns(), 0u);
  ASSERT_EQ(fast.marker.writes.size(), 3u);
  ASSERT_EQ(slow.marker.writes.size(), 3u);
  auto loop = [](const Program& p) { return p.marker.writes[1].second - p.marker.writes[0].second; };
  EXPECT_EQ(loop(fast), loop(slow));
  // 20000 turns of 13 cycles, 3.6 ms: about 36 ticks of 100 us came in meanwhile.
  EXPECT_NEAR(static_cast<double>(loop(fast)), 20000.0 * 13, 36 * 200.0);
  EXPECT_GE(fast.word("seen", 0), 30u);
  EXPECT_EQ(fast.word("seen", 0), slow.word("seen", 0));
  // The scenarios' own paths differ by a branch or two, the loops not at all.
  EXPECT_NEAR(static_cast<double>(fast.cpu->instructions()), static_cast<double>(slow.cpu->instructions()),
              4.0);
}

TEST(EmulatedCpu, TheProfileCountsAHandlersOwnInstructionsExactly) {
  Program r(11);
  r.run();
  ASSERT_EQ(r.cpu->exit_status(), 0) << r.board.cpu.halt_reason();
  bool found = false;
  for (const emu::HandlerProfile& p : r.cpu->profile()) {
    if (p.exception != 16 + 4) continue;
    found = true;
    EXPECT_EQ(p.name, "IRQ4_Handler");
    EXPECT_EQ(p.runs, 3u);
    EXPECT_EQ(p.min_instructions, 5u);  // MOVS, three ADDS, BX
    EXPECT_EQ(p.max_instructions, 5u);
    EXPECT_EQ(p.max_cycles, 5u);  // the return's BX costs the exception return
  }
  EXPECT_TRUE(found);
  EXPECT_NE(r.cpu->profile_report().find("IRQ4_Handler"), std::string::npos);
}

TEST(EmulatedCpu, AnSvcThatMayNotRunIsAFault) {
  Program r(12);
  r.run();
  EXPECT_EQ(r.board.cpu.halt_reason().rfind("fault: SVC at a priority that masks it", 0), 0u)
      << r.board.cpu.halt_reason();
}

TEST(EmulatedCpu, AReservedExcReturnIsAFault) {
  Program r(13);
  r.run();
  EXPECT_EQ(
      r.board.cpu.halt_reason().rfind("fault: exception return with a reserved EXC_RETURN 0xfffffff5", 0), 0u)
      << r.board.cpu.halt_reason();
}

// Exception entry and return clear the local monitor, as on the chip: a STREX
// after an interrupted LDREX fails even though the word did not change, so that
// an LDREX/STREX loop goes round again.
TEST(EmulatedCpu, AnExceptionBetweenLdrexAndStrexMakesTheStoreFail) {
  Program r(18);
  r.run();
  ASSERT_EQ(r.cpu->exit_status(), 0) << r.board.cpu.halt_reason();
  EXPECT_EQ(r.log(), (std::vector<uint32_t>{6, 6}));
  EXPECT_EQ(r.word("seen", 0), 1u);  // failed
  EXPECT_EQ(r.word("seen", 1), 5u);  // nothing stored
  EXPECT_EQ(r.word("seen", 2), 0u);  // uninterrupted: stored
  EXPECT_EQ(r.word("seen", 3), 7u);
  EXPECT_EQ(r.word("seen", 4), 2u);  // the loop went round once more
  EXPECT_EQ(r.word("seen", 5), 7u);
}

constexpr uint32_t kInvState = 1u << 17, kInvPc = 1u << 18, kForced = 1u << 30;

// A vector without the Thumb bit: the exception is entered, and its handler's
// first instruction faults (INVSTATE) with the handler's address stacked and
// the Thumb bit clear in the stacked xPSR.
TEST(EmulatedCpu, AVectorWithoutTheThumbBitIsAnInvalidStateUsageFault) {
  Program r(19);
  r.run();
  ASSERT_EQ(r.cpu->exit_status(), 0) << r.board.cpu.halt_reason();
  EXPECT_EQ(r.word("seen", 0), kInvState);  // CFSR
  EXPECT_EQ(r.word("seen", 1), 0u);         // HFSR
  EXPECT_EQ(r.word("seen", 2), r.image.find("irq7_without_thumb")->address);
  EXPECT_EQ(r.word("seen", 3) & (kThumb | 0x1FFu), 16u + 7);  // IRQ 7's handler, in ARM state
  EXPECT_EQ(r.word("seen", 4), 0xFFFFFFF1u);                  // nested in it
  EXPECT_EQ(r.word("seen", 5), 6u);                           // the usage fault
  EXPECT_EQ(r.word("seen", 6), 1u << 7);                      // IRQ 7 still active
  EXPECT_EQ(r.word("seen", 7), (1u << 18) | (1u << 3));       // USGFAULTENA, USGFAULTACT
  EXPECT_EQ(r.log(), std::vector<uint32_t>{});                // the handler never ran
  EXPECT_EQ(r.board.cpu.exceptions_taken(board::ExceptionModel::kUsageFault), 1u);
}

TEST(EmulatedCpu, WithUsageFaultsDisabledInvalidStateIsAForcedHardFault) {
  Program r(20);
  r.run();
  ASSERT_EQ(r.cpu->exit_status(), 0) << r.board.cpu.halt_reason();
  EXPECT_EQ(r.word("seen", 0), kInvState);
  EXPECT_EQ(r.word("seen", 1), kForced);
  EXPECT_EQ(r.word("seen", 2), r.image.find("irq7_without_thumb")->address);
  EXPECT_EQ(r.word("seen", 5), 3u);
}

// EXC_RETURN to thread mode from IRQ 9 nested in IRQ 8, CCR.NONBASETHRDENA
// clear: IRQ 9 ends, and the usage fault (INVPC) runs in its place on the same
// frame, with the EXC_RETURN that failed in LR.
TEST(EmulatedCpu, AReturnToThreadModeWithAnotherExceptionActiveIsAnInvalidPcUsageFault) {
  Program r(21);
  r.run();
  ASSERT_EQ(r.cpu->exit_status(), 0) << r.board.cpu.halt_reason();
  EXPECT_EQ(r.log(), std::vector<uint32_t>{8});
  EXPECT_EQ(r.word("seen", 0), kInvPc);
  EXPECT_EQ(r.word("seen", 1), 0u);
  EXPECT_EQ(r.word("seen", 3) & 0x1FFu, 16u + 8);  // IRQ 9's frame: it had interrupted IRQ 8
  EXPECT_EQ(r.word("seen", 4), 0xFFFFFFF9u);
  EXPECT_EQ(r.word("seen", 5), 6u);
  EXPECT_EQ(r.word("seen", 6), 1u << 8);  // IRQ 8 active, IRQ 9 no longer
}

// The kernel port test of the board build, which passes on QEMU's mps2-an385,
// passes here too: that machine's UART to a small device, its 8 priority bits.
TEST(EmulatedCpu, KernelPortTestImagePassesAsOnQemu) {
  emu::EmulatedCpu::Config config;
  config.semihosting = true;
  config.priority_bits = 8;
  Program r(KERNEL_PORT_TEST_ELF, config);
  Mps2Uart uart;
  r.cpu->attach_device(0x40004000u, 0x400, &uart);
  r.run(30);
  EXPECT_EQ(r.cpu->exit_status(), 0) << r.board.cpu.halt_reason() << "\n" << uart.text;
  EXPECT_EQ(uart.text.find("not ok"), std::string::npos) << uart.text;
  EXPECT_NE(uart.text.find("# all passed"), std::string::npos) << uart.text;
  EXPECT_NE(uart.text.find("ok 1 - "), std::string::npos);
}

}  // namespace
