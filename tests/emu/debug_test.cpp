// The emulated core under a debugger: halting between instructions with time
// standing still, breakpoints, steps with and without pending interrupts,
// watchpoints on RAM and on registers, and the debugger's reads and writes,
// on scenario 17 of programs/checks.c (a loop writing `counter` and GPIOA ODR).
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "emulated_cpu.h"

namespace {

using board::Cycles;
using Reason = emu::DebugStop::Reason;

constexpr Cycles kMs = board::kCpuHz / 1000;
constexpr uint32_t kOdr = 0x4001080Cu, kUsart1Sr = 0x40013800u, kUsart1Dr = 0x40013804u;

// The time of the program's last marker write (its end).
class Marker : public board::Peripheral {
 public:
  explicit Marker(board::Board& b) : board_(b) {}
  uint32_t read(uint32_t) override { return 0; }
  void write(uint32_t, uint32_t) override { last = board_.now(); }
  Cycles last = 0;

 private:
  board::Board& board_;
};

struct Debugged {
  board::Board& board = *new board::Board();  // kept: a stopped run may be inside the core
  emu::ElfImage image;
  emu::EmulatedCpu* cpu = nullptr;
  Marker& marker = *new Marker(board);

  explicit Debugged(uint32_t scenario = 17) {
    EXPECT_EQ(image.load(EMU_CHECKS_ELF), "");
    // The program sets no clocks up: its core runs at 72 MHz from the start.
    board.rcc.attach_clock(nullptr, nullptr);
    board.cpu.set_core_clock(board::kCpuHz);
    emu::EmulatedCpu::Config config;
    config.semihosting = true;
    cpu = new emu::EmulatedCpu(board, image, config);
    cpu->attach_device(0x4000F000u, 0x400, &marker);
    std::memcpy(cpu->initial_data(address("scenario"), 4), &scenario, 4);
    cpu->attach_debugger(true);
  }
  uint32_t address(const char* symbol) {
    const emu::ElfSymbol* s = image.find(symbol);
    EXPECT_NE(s, nullptr) << symbol;
    return s ? s->address : 0;
  }
  uint32_t word(const char* symbol, unsigned index = 0) {
    uint32_t v = 0xDEADBEEF;
    EXPECT_TRUE(cpu->read_memory(address(symbol) + 4 * index, &v, 4));
    return v;
  }
  uint32_t pc() const { return cpu->debug_register(emu::kDebugPc); }
  // Runs until the core halts for the debugger (or the program ends, or a second).
  void run_to_halt() {
    while (!cpu->debug_halted() && !board.cpu.halted() && board.now() < board::kCpuHz)
      board.run_until(board.now() + kMs);
  }
  // Runs to the program's debug_point under a breakpoint (still set); its address.
  uint32_t halt_at_debug_point() {
    const uint32_t point = address("debug_point");
    cpu->halt();
    board.run_until(kMs);
    EXPECT_TRUE(cpu->set_breakpoint(point, true));
    cpu->resume();
    run_to_halt();
    return point;
  }
  void run_to_end() {
    while (cpu->exit_status() < 0 && !cpu->debug_halted() && board.now() < board::kCpuHz)
      board.run_until(board.now() + kMs);
  }
};

TEST(EmulatedCpuDebug, HaltedAtTheResetVectorTimeStandsStillUntilResumed) {
  Debugged d;
  d.cpu->halt();
  d.board.run_until(10 * kMs);
  ASSERT_TRUE(d.cpu->debug_halted());
  EXPECT_EQ(d.cpu->debug_stop().reason, Reason::requested);
  EXPECT_EQ(d.pc(), d.address("Reset_Handler"));
  EXPECT_EQ(d.cpu->debug_register(emu::kDebugMsp), 0x20005000u);  // from the vector table
  EXPECT_EQ(d.board.now(), 0u);
  // However often the board is asked to run, nothing moves while halted.
  for (int i = 0; i < 5; ++i) d.board.run_until(d.board.now() + 100 * kMs);
  EXPECT_EQ(d.board.now(), 0u);
  EXPECT_EQ(d.cpu->instructions(), 0u);
  EXPECT_TRUE(d.cpu->debug_halted());
  d.cpu->resume();
  d.run_to_end();
  EXPECT_EQ(d.cpu->exit_status(), 0) << d.board.cpu.halt_reason();
  EXPECT_EQ(d.word("counter"), 19999u);
}

TEST(EmulatedCpuDebug, AHaltRequestedWhileRunningStopsBetweenInstructions) {
  Debugged d;
  d.board.run_until(2 * kMs);
  ASSERT_FALSE(d.cpu->debug_halted());
  EXPECT_FALSE(d.cpu->set_breakpoint(d.address("debug_point"), true));  // not while running
  d.cpu->halt();
  d.board.run_until(3 * kMs);
  ASSERT_TRUE(d.cpu->debug_halted());
  const Cycles at = d.board.now();
  EXPECT_LT(at, 2 * kMs + 100);  // within a block or so
  const uint32_t pc = d.pc();
  d.board.run_until(10 * kMs);
  EXPECT_EQ(d.board.now(), at);
  EXPECT_EQ(d.pc(), pc);
}

// What a debugger does at a breakpoint: look, step over it, continue. A run
// broken like that ends exactly as one never broken: the same time, the same
// instructions, the same ticks.
TEST(EmulatedCpuDebug, BreakpointsInsideABlockStopThereAndLeaveTheRunAsItWas) {
  Debugged plain;
  plain.run_to_end();
  ASSERT_EQ(plain.cpu->exit_status(), 0) << plain.board.cpu.halt_reason();

  Debugged d;
  d.cpu->halt();
  d.board.run_until(kMs);
  const uint32_t point = d.address("debug_point");
  ASSERT_TRUE(d.cpu->set_breakpoint(point, true));
  EXPECT_TRUE(d.cpu->set_breakpoint(point, true));  // once is enough
  EXPECT_EQ(d.cpu->breakpoints(), 1u);
  EXPECT_FALSE(d.cpu->set_breakpoint(0x30000000u, true));  // no code there
  for (uint32_t turn = 0; turn < 5; ++turn) {
    d.cpu->resume();
    d.run_to_halt();
    ASSERT_TRUE(d.cpu->debug_halted());
    EXPECT_EQ(d.cpu->debug_stop().reason, Reason::breakpoint);
    EXPECT_EQ(d.cpu->debug_stop().address, point);
    EXPECT_EQ(d.pc(), point);
    EXPECT_EQ(d.word("counter"), turn);  // the stores before it in the block are done
    d.cpu->step();
    d.board.run_until(d.board.now() + kMs);
    ASSERT_TRUE(d.cpu->debug_halted());
    EXPECT_EQ(d.cpu->debug_stop().reason, Reason::step);
    EXPECT_EQ(d.pc(), point + 2);
  }
  ASSERT_TRUE(d.cpu->set_breakpoint(point, false));
  EXPECT_EQ(d.cpu->breakpoints(), 0u);
  d.cpu->resume();
  d.run_to_end();
  ASSERT_EQ(d.cpu->exit_status(), 0) << d.board.cpu.halt_reason();
  EXPECT_EQ(d.marker.last, plain.marker.last);
  EXPECT_GT(d.marker.last, 0u);
  EXPECT_EQ(d.cpu->instructions(), plain.cpu->instructions());
  EXPECT_EQ(d.word("seen"), plain.word("seen"));  // ticks counted in the loop
}

// Reverse execution runs the board again to where it halted before: run_to
// halts at the same count with the same registers, time and memory, inside a
// block as a breakpoint did or before one as a requested halt did, and an
// observer hears each breakpoint hit at the count its halt had, halting nowhere.
TEST(EmulatedCpuDebug, ARunAgainHaltsWhereTheFirstHaltedAndHearsTheHitsOnTheWay) {
  struct Place {
    uint64_t position;
    bool mid;
    Cycles time;
    uint32_t counter;
    std::vector<uint32_t> regs;
  };
  auto place = [](Debugged& d) {
    Place p{d.cpu->debug_position(), d.cpu->debug_mid_block(), d.board.now(), d.word("counter"), {}};
    for (unsigned r = 0; r < emu::kDebugRegisters; ++r) p.regs.push_back(d.cpu->debug_register(r));
    return p;
  };
  auto same = [](const Place& was, const Place& is, const char* what) {
    EXPECT_EQ(is.position, was.position) << what;
    EXPECT_EQ(is.mid, was.mid) << what;
    EXPECT_EQ(is.time, was.time) << what;
    EXPECT_EQ(is.counter, was.counter) << what;
    EXPECT_EQ(is.regs, was.regs) << what;
  };

  Debugged first;
  const uint32_t point = first.address("debug_point");
  first.cpu->halt();
  first.board.run_until(kMs);
  ASSERT_TRUE(first.cpu->set_breakpoint(point, true));
  std::vector<Place> hits;
  for (int i = 0; i < 3; ++i) {
    first.cpu->resume();
    first.run_to_halt();
    ASSERT_EQ(first.cpu->debug_stop().reason, Reason::breakpoint);
    hits.push_back(place(first));
  }
  ASSERT_TRUE(first.cpu->set_breakpoint(point, false));
  first.cpu->resume();
  first.board.run_until(first.board.now() + 2 * kMs);
  first.cpu->halt();
  first.run_to_halt();
  const Place later = place(first);
  EXPECT_TRUE(hits[0].mid && hits[2].mid);
  EXPECT_FALSE(later.mid);
  EXPECT_LT(hits[0].position, hits[1].position);
  EXPECT_LT(hits[2].position, later.position);

  Debugged again;
  again.cpu->halt();
  again.board.run_until(kMs);
  ASSERT_TRUE(again.cpu->set_breakpoint(point, true));
  std::vector<uint64_t> heard;
  again.cpu->set_hit_observer([&](uint64_t at, Reason why, uint32_t address) {
    if (why == Reason::breakpoint && address == point) heard.push_back(at);
  });
  again.cpu->run_to(hits[2].position, true);
  again.run_to_halt();
  ASSERT_TRUE(again.cpu->debug_halted());
  same(hits[2], place(again), "the third hit, mid-block");
  ASSERT_GE(heard.size(), 2u);
  EXPECT_EQ(heard[0], hits[0].position);
  EXPECT_EQ(heard[1], hits[1].position);
  again.cpu->set_hit_observer(nullptr);
  ASSERT_TRUE(again.cpu->set_breakpoint(point, false));
  again.cpu->run_to(later.position, false, later.regs[emu::kDebugPc]);
  again.run_to_halt();
  ASSERT_TRUE(again.cpu->debug_halted());
  same(later, place(again), "the requested halt, before a block");

  // Both runs go on to the same end.
  first.cpu->resume();
  first.run_to_end();
  again.cpu->resume();
  again.run_to_end();
  ASSERT_EQ(again.cpu->exit_status(), 0) << again.board.cpu.halt_reason();
  EXPECT_EQ(again.marker.last, first.marker.last);
  EXPECT_EQ(again.cpu->instructions(), first.cpu->instructions());
}

TEST(EmulatedCpuDebug, StepsFollowTheCodeAndCountTheirOwnCycles) {
  Debugged d;
  d.cpu->halt();
  d.board.run_until(kMs);
  // Each step one instruction on, from the reset handler's first: its own
  // cycles, as the block it starts is not counted yet.
  uint32_t pc = d.pc();
  for (int i = 0; i < 6; ++i) {
    const Cycles before = d.board.now();
    const uint64_t instructions = d.cpu->instructions();
    d.cpu->step();
    d.board.run_until(d.board.now() + kMs);
    ASSERT_TRUE(d.cpu->debug_halted());
    EXPECT_EQ(d.cpu->instructions(), instructions + 1);
    EXPECT_GE(d.board.now() - before, 1u);
    EXPECT_LE(d.board.now() - before, 12u);
    EXPECT_NE(d.pc(), pc);
    pc = d.pc();
  }
}

TEST(EmulatedCpuDebug, StepsEnterAPendingInterruptOnlyWhenAllowed) {
  Debugged d;
  const uint32_t point = d.halt_at_debug_point();
  ASSERT_EQ(d.pc(), point);
  ASSERT_TRUE(d.cpu->set_breakpoint(point, false));
  // IRQ 4 enabled and pended by the debugger through the NVIC's registers.
  const uint32_t bit = 1u << 4;
  ASSERT_TRUE(d.cpu->debug_write(0xE000E100u, &bit, 4));
  ASSERT_TRUE(d.cpu->debug_write(0xE000E200u, &bit, 4));
  EXPECT_TRUE(d.board.cpu.is_pending(16 + 4));
  EXPECT_FALSE(d.cpu->step_interrupts());
  d.cpu->step();
  d.board.run_until(d.board.now() + kMs);
  EXPECT_EQ(d.pc(), point + 2);  // still in the loop
  EXPECT_TRUE(d.board.cpu.is_pending(16 + 4));
  d.cpu->set_step_interrupts(true);
  d.cpu->step();
  d.board.run_until(d.board.now() + kMs);
  EXPECT_EQ(d.pc(), d.address("IRQ4_Handler"));
  EXPECT_EQ(d.cpu->debug_register(emu::kDebugXpsr) & 0x1FFu, 20u);
  EXPECT_EQ(d.cpu->debug_register(emu::kDebugLr), 0xFFFFFFF9u);
  EXPECT_FALSE(d.board.cpu.is_pending(16 + 4));
}

TEST(EmulatedCpuDebug, WatchpointsHaltAfterTheAccessOnRamAndOnRegisters) {
  Debugged d;
  d.cpu->halt();
  d.board.run_until(kMs);
  const uint32_t counter = d.address("counter");
  // The start-up code clears it first.
  ASSERT_TRUE(d.cpu->set_watchpoint(counter, 4, emu::WatchKind::write, true));
  d.cpu->resume();
  d.run_to_halt();
  ASSERT_TRUE(d.cpu->debug_halted());
  EXPECT_EQ(d.cpu->debug_stop().reason, Reason::watch_write);
  EXPECT_EQ(d.cpu->debug_stop().address, counter);
  const emu::ElfSymbol* reset = d.image.find("Reset_Handler");
  ASSERT_NE(reset, nullptr);
  EXPECT_GE(d.pc(), reset->address);
  EXPECT_LT(d.pc(), reset->address + reset->size);
  // Then each turn of the loop, the core halting at most the end of the block on.
  const uint32_t loop = d.address("debug_point") - 10, end = d.address("debug_point") + 12;
  for (uint32_t turn = 0; turn < 2; ++turn) {
    d.cpu->resume();
    d.run_to_halt();
    EXPECT_EQ(d.cpu->debug_stop().reason, Reason::watch_write);
    EXPECT_EQ(d.word("counter"), turn);
    EXPECT_GE(d.pc(), loop);
    EXPECT_LE(d.pc(), end);
  }
  ASSERT_TRUE(d.cpu->set_watchpoint(counter, 4, emu::WatchKind::write, false));
  EXPECT_EQ(d.cpu->watchpoints(), 0u);

  // GPIOA ODR, heard on the bus; a read watch on the loop's limit.
  ASSERT_TRUE(d.cpu->set_watchpoint(kOdr, 4, emu::WatchKind::write, true));
  d.cpu->resume();
  d.run_to_halt();
  EXPECT_EQ(d.cpu->debug_stop().reason, Reason::watch_write);
  EXPECT_EQ(d.cpu->debug_stop().address, kOdr);
  EXPECT_EQ(d.board.gpioa.read(0x0C), 2u);
  ASSERT_TRUE(d.cpu->set_watchpoint(kOdr, 4, emu::WatchKind::write, false));
  ASSERT_TRUE(d.cpu->set_watchpoint(d.address("limit"), 4, emu::WatchKind::read, true));
  d.cpu->resume();
  d.run_to_halt();
  EXPECT_EQ(d.cpu->debug_stop().reason, Reason::watch_read);
  EXPECT_EQ(d.word("counter"), 3u);  // turn 2 had read it in the block the halt ended
  ASSERT_TRUE(d.cpu->set_watchpoint(d.address("limit"), 4, emu::WatchKind::read, false));
  // A read watch does not fire on writes, nor a write watch on reads.
  ASSERT_TRUE(d.cpu->set_watchpoint(d.address("limit"), 4, emu::WatchKind::write, true));
  ASSERT_TRUE(d.cpu->set_watchpoint(counter, 4, emu::WatchKind::read, true));
  d.cpu->resume();
  d.run_to_end();
  EXPECT_EQ(d.cpu->exit_status(), 0) << d.board.cpu.halt_reason();
  EXPECT_FALSE(d.cpu->set_watchpoint(0x30000000u, 4, emu::WatchKind::write, true));
}

TEST(EmulatedCpuDebug, TheDebuggersReadsHaveNoSideEffectsItsWritesReachTheProgram) {
  Debugged d;
  const uint32_t point = d.halt_at_debug_point();
  ASSERT_TRUE(d.cpu->set_breakpoint(point, false));
  // A byte waiting in USART1 (set to the far end's rate): reading DR from the
  // debugger leaves RXNE set.
  d.board.usart1.write(board::Usart::kBRR, d.board.rcc.pclk2_hz() / 115200);
  ASSERT_TRUE(d.board.usart1.receive('x'));
  uint32_t sr = 0, dr = 0;
  ASSERT_EQ(d.cpu->debug_read(kUsart1Dr, &dr, 4), 4u);
  EXPECT_EQ(dr, static_cast<uint32_t>('x'));
  ASSERT_EQ(d.cpu->debug_read(kUsart1Sr, &sr, 4), 4u);
  EXPECT_TRUE(sr & board::Usart::kRXNE);
  // Flash, RAM and the bit-band alias of RAM, in one read across them where contiguous.
  uint8_t vector[8];
  ASSERT_EQ(d.cpu->debug_read(0x08000000u, vector, 8), 8u);
  EXPECT_EQ(vector[0] | vector[1] << 8 | vector[2] << 16 | vector[3] << 24, 0x20005000);
  const uint32_t counter = d.address("counter");
  uint8_t bit = 0xFF;
  EXPECT_EQ(d.cpu->debug_read(0x22000000u + (counter - 0x20000000u) * 32, &bit, 1), 1u);
  EXPECT_EQ(bit, d.word("counter") & 1u);
  // The end of RAM: what lies past it cannot be read.
  uint8_t tail[8];
  EXPECT_EQ(d.cpu->debug_read(0x20005000u - 4, tail, 8), 4u);
  EXPECT_EQ(d.cpu->debug_read(0x30000000u, tail, 4), 0u);
  EXPECT_EQ(d.cpu->debug_read(0xFFFFFFFEu, tail, 4), 0u);
  // The time a read takes: none.
  const Cycles at = d.board.now();
  for (int i = 0; i < 100; ++i) d.cpu->debug_read(0x4001080Cu, &dr, 4);
  EXPECT_EQ(d.board.now(), at);

  // The loop ends after three turns once the debugger lowers its limit.
  const uint32_t three = 3;
  ASSERT_TRUE(d.cpu->debug_write(d.address("limit"), &three, 4));
  EXPECT_FALSE(d.cpu->debug_write(0x08000100u, &three, 4));  // flash
  EXPECT_FALSE(d.cpu->debug_write(0x30000000u, &three, 4));
  // A register written through its model: half of ODR, the other half kept.
  const uint16_t high = 0xA5A5;
  ASSERT_TRUE(d.cpu->debug_write(kOdr, &high, 2));
  EXPECT_EQ(d.board.gpioa.read(0x0C) & 0xFFFFu, 0xA5A5u);
  // Registers: r-registers as written, xPSR's flags only, PC without the Thumb bit.
  ASSERT_TRUE(d.cpu->set_debug_register(12, 0x12345678u));
  EXPECT_EQ(d.cpu->debug_register(12), 0x12345678u);
  const uint32_t xpsr = d.cpu->debug_register(emu::kDebugXpsr);
  ASSERT_TRUE(d.cpu->set_debug_register(emu::kDebugXpsr, 0xF0000005u));
  EXPECT_EQ(d.cpu->debug_register(emu::kDebugXpsr), (xpsr & 0x07FFFFFFu) | 0xF0000000u);
  EXPECT_EQ(d.pc() & 1u, 0u);
  d.cpu->resume();
  d.run_to_end();
  EXPECT_EQ(d.cpu->exit_status(), 0) << d.board.cpu.halt_reason();
  EXPECT_EQ(d.word("counter"), 2u);
}

TEST(EmulatedCpuDebug, AFaultHaltsForTheDebuggerWhereItHappened) {
  Debugged d(6);  // a store to flash
  d.run_to_halt();
  ASSERT_TRUE(d.cpu->debug_halted());
  EXPECT_EQ(d.cpu->debug_stop().reason, Reason::fault);
  EXPECT_NE(d.board.cpu.halt_reason().find("write to read-only address 0x08000100"), std::string::npos);
  const emu::ElfSymbol* main = d.image.find("main");
  ASSERT_NE(main, nullptr);
  EXPECT_GE(d.pc(), main->address);
  EXPECT_LT(d.pc(), main->address + main->size);
  // Once seen, the board runs on with its core stopped.
  d.cpu->resume();
  const Cycles at = d.board.now();
  d.board.run_until(at + 10 * kMs);
  EXPECT_FALSE(d.cpu->debug_halted());
  EXPECT_EQ(d.board.now(), at + 10 * kMs);
}

}  // namespace
