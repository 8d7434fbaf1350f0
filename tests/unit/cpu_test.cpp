// The CPU model's exception rules: priorities, grouping, BASEPRI and PRIMASK
// masking, nesting, PendSV last, and the SysTick.
#include "cpu.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using board::Cpu;

constexpr int kLow = Cpu::kIrq0 + 1, kMid = Cpu::kIrq0 + 2, kHigh = Cpu::kIrq0 + 3;
constexpr uint32_t kAircr = 0xD0C, kIser0 = 0x100, kIpr0 = 0x400, kShpr3 = 0xD20, kIcsr = 0xD04;

std::string order;
Cpu* cpu_under_test;

struct CpuFixture : ::testing::Test {
  board::EventQueue events;
  Cpu cpu{events};
  Cpu::Handler table[Cpu::kExceptions] = {};

  void SetUp() override {
    order.clear();
    cpu_under_test = &cpu;
    cpu.set_vectors(table);
    cpu.write(kIser0, 0xE);  // IRQ 1, 2 and 3
  }
  void group(uint32_t prigroup) { cpu.write(kAircr, 0x05FA0000u | (prigroup << 8)); }
  void priority(int exc, uint8_t p) {
    if (exc >= Cpu::kIrq0)
      cpu.write8(kIpr0 + static_cast<uint32_t>(exc - Cpu::kIrq0), p);
    else
      cpu.write8(0xD18 + static_cast<uint32_t>(exc - 4), p);
  }
};

TEST_F(CpuFixture, PriorityBytesKeepTheTopFourBits) {
  priority(kLow, 0xBF);
  EXPECT_EQ(cpu.read8(kIpr0 + 1), 0xB0);
  cpu.set_basepri(0xBF);
  EXPECT_EQ(cpu.basepri(), 0xB0u);
}

TEST_F(CpuFixture, BasepriMasksByGroupPriority) {
  table[kLow] = [] { order += "L"; };
  table[kHigh] = [] { order += "H"; };
  priority(kLow, 0xC0);
  priority(kHigh, 0x60);
  group(3);  // all four bits pre-empt
  cpu.set_basepri(0xBF);
  cpu.set_pending(kLow);
  cpu.set_pending(kHigh);
  cpu.step(1);
  EXPECT_EQ(order, "H");  // above the ceiling: runs; below: waits
  cpu.set_basepri(0);
  EXPECT_EQ(order, "HL");
}

TEST_F(CpuFixture, UnderGroupTwoTheCeilingAlsoMasksPriority0x80) {
  table[kMid] = [] { order += "M"; };
  priority(kMid, 0x80);
  group(5);  // two bits of pre-emption: 0xB0 counts as group 0x80
  cpu.set_basepri(0xBF);
  cpu.set_pending(kMid);
  cpu.step(1);
  EXPECT_EQ(order, "");
  cpu.set_basepri(0);
  EXPECT_EQ(order, "M");
}

TEST_F(CpuFixture, PrimaskMasksEverything) {
  table[kHigh] = [] { order += "H"; };
  cpu.set_primask(1);
  cpu.set_pending(kHigh);
  cpu.step(1);
  EXPECT_EQ(order, "");
  cpu.set_primask(0);
  EXPECT_EQ(order, "H");
}

TEST_F(CpuFixture, HigherGroupNestsEqualGroupWaits) {
  group(5);
  priority(kLow, 0xC0);
  priority(kMid, 0xD0);  // same group as kLow, lower sub-priority
  priority(kHigh, 0x40);
  table[kLow] = [] {
    order += "L(";
    cpu_under_test->set_pending(kMid);
    cpu_under_test->set_pending(kHigh);
    cpu_under_test->step(1);
    order += ")";
  };
  table[kMid] = [] { order += "M"; };
  table[kHigh] = [] { order += "H"; };
  cpu.set_pending(kLow);
  cpu.step(1);
  EXPECT_EQ(order, "L(H)M");
}

TEST_F(CpuFixture, PendSvRunsLastAfterEveryInterrupt) {
  group(3);
  priority(Cpu::kPendSv, 0xFF);
  priority(kLow, 0xE0);
  table[Cpu::kPendSv] = [] { order += "P"; };
  table[kLow] = [] { order += "L"; };
  table[kHigh] = [] {
    order += "H";
    cpu_under_test->write(kIcsr, 1u << 28);  // PENDSVSET
    cpu_under_test->set_pending(kLow);
    cpu_under_test->step(1);
    EXPECT_TRUE(cpu_under_test->is_pending(Cpu::kPendSv));
  };
  cpu.set_pending(kHigh);
  cpu.step(1);
  EXPECT_EQ(order, "HLP");
  EXPECT_EQ(cpu.read(kShpr3) & 0xFFu, 0u);
  EXPECT_EQ(cpu.read8(0xD22), 0xF0);
}

TEST_F(CpuFixture, DisabledInterruptsStayPendingUntilEnabled) {
  constexpr int kOther = Cpu::kIrq0 + 7;
  table[kOther] = [] { order += "O"; };
  cpu.set_pending(kOther);
  cpu.step(1);
  EXPECT_EQ(order, "");
  cpu.write(kIser0, 1u << 7);
  cpu.step(1);
  EXPECT_EQ(order, "O");
}

TEST_F(CpuFixture, SysTickFiresEveryPeriodAndCountsDown) {
  int ticks = 0;
  static int* counter;
  counter = &ticks;
  table[Cpu::kSysTick] = [] { ++*counter; };
  cpu.write(0x014, 71999);  // LOAD
  cpu.write(0x018, 0);      // VAL
  cpu.write(0x010, 0x7);    // core clock, interrupt, enable
  cpu.busy(72000 * 10 + 100);
  EXPECT_EQ(ticks, 10);
  const uint32_t val = cpu.read(0x018);
  EXPECT_LT(val, 71999u);
  EXPECT_GT(val, 71999u - 500);  // 100 cycles, plus exception entries and returns
  cpu.write(0x010, 0x5);         // interrupt off: no more events
  cpu.busy(72000 * 3);
  EXPECT_EQ(ticks, 10);
  EXPECT_TRUE(events.empty());
}

}  // namespace
