// The exception rules both CPUs share, through the calls the emulated core makes:
// what may be taken now, activation and return, masks it reports, level lines.
#include "exception_model.h"

#include <gtest/gtest.h>

namespace {

using board::ExceptionModel;

constexpr int kIrq(int n) { return ExceptionModel::kIrq0 + n; }
constexpr uint32_t kIser0 = 0x100, kIpr0 = 0x400, kShpr3 = 0xD20, kAircr = 0xD0C, kVtor = 0xD08, kCcr = 0xD14;

struct Model : ::testing::Test {
  board::EventQueue events;
  ExceptionModel m{events};
  void SetUp() override {
    m.write(kIser0, 0xF);
    m.write(kAircr, 0x05FA0300u);  // four bits of pre-emption
  }
};

TEST_F(Model, TheMostUrgentPendingIsTakenThenOnlyWhatMayPreemptIt) {
  m.write8(kIpr0 + 1, 0xC0);
  m.write8(kIpr0 + 2, 0x40);
  m.write8(kIpr0 + 3, 0x40);
  EXPECT_EQ(m.takeable(), -1);
  m.set_pending(kIrq(1));
  m.set_pending(kIrq(3));
  m.set_pending(kIrq(2));
  EXPECT_EQ(m.takeable(), kIrq(2));  // equal priorities: the lower number first
  m.activate(kIrq(2));
  EXPECT_FALSE(m.is_pending(kIrq(2)));
  EXPECT_TRUE(m.is_active(kIrq(2)));
  EXPECT_EQ(m.takeable(), -1);  // IRQ 3 has the same priority, IRQ 1 a lower one
  EXPECT_EQ(m.exceptions_taken(kIrq(2)), 1u);
  EXPECT_EQ(m.deactivate(), kIrq(2));
  EXPECT_EQ(m.takeable(), kIrq(3));  // what a tail-chain enters
  m.activate(kIrq(3));
  EXPECT_EQ(m.deactivate(), kIrq(3));
  EXPECT_EQ(m.takeable(), kIrq(1));
  EXPECT_EQ(m.deactivate(), -1);  // nothing active: no harm
}

TEST_F(Model, ReportedMasksHoldBackWhatTheyCover) {
  m.write8(kIpr0 + 1, 0xC0);
  m.write8(kIpr0 + 2, 0x80);
  m.set_pending(kIrq(1));
  m.set_pending(kIrq(2));
  m.set_masks(0xBF, 0);  // the kernel's ceiling: 0xB0 with four bits
  EXPECT_EQ(m.basepri(), 0xB0u);
  EXPECT_EQ(m.takeable(), kIrq(2));
  m.set_masks(0x80, 0);
  EXPECT_EQ(m.takeable(), -1);  // BASEPRI masks its own priority too
  m.set_masks(0, 1);
  EXPECT_EQ(m.takeable(), -1);
  EXPECT_FALSE(m.may_preempt(ExceptionModel::kSvc));  // an SVC now would escalate
  m.set_masks(0, 0);
  EXPECT_TRUE(m.may_preempt(ExceptionModel::kSvc));
  EXPECT_EQ(m.takeable(), kIrq(2));
}

TEST_F(Model, ALineStillHighPendsItsInterruptAgainOnReturn) {
  m.set_irq_line(1, true);
  EXPECT_EQ(m.takeable(), kIrq(1));
  m.activate(kIrq(1));
  m.deactivate();
  EXPECT_TRUE(m.is_pending(kIrq(1)));  // the handler did not clear the source
  m.activate(kIrq(1));
  m.set_irq_line(1, false);
  m.deactivate();
  EXPECT_FALSE(m.is_pending(kIrq(1)));
}

TEST_F(Model, PriorityBitsAreTheChipsUnlessAnotherMachineIsModelled) {
  m.write8(kShpr3 + 2, 0xFF);  // PendSV
  EXPECT_EQ(m.read8(kShpr3 + 2), 0xF0);
  m.set_masks(0xBF, 0);
  EXPECT_EQ(m.basepri(), 0xB0u);
  m.set_priority_bits(8);  // QEMU's mps2-an385, for the port test
  m.write8(kShpr3 + 2, 0xFF);
  EXPECT_EQ(m.read8(kShpr3 + 2), 0xFF);
  m.set_masks(0xBF, 0);
  EXPECT_EQ(m.basepri(), 0xBFu);
}

TEST_F(Model, VectorTableAndStackAlignmentAsTheCoreReadsThem) {
  EXPECT_EQ(m.vector_table(), 0u);
  m.write(kVtor, 0x08000000u);
  EXPECT_EQ(m.vector_table(), 0x08000000u);
  EXPECT_FALSE(m.stack_align8());  // r1p1 resets STKALIGN to 0
  m.write(kCcr, 1u << 9);
  EXPECT_TRUE(m.stack_align8());
  EXPECT_EQ(m.read(kCcr), 1u << 9);
}

TEST_F(Model, AHaltKeepsItsFirstReason) {
  EXPECT_FALSE(m.halted());
  m.mark_halted("fault: first");
  m.mark_halted("second");
  EXPECT_TRUE(m.halted());
  EXPECT_EQ(m.halt_reason(), "fault: first");
}

}  // namespace
