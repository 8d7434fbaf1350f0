// The exception rules both CPUs share, through the calls the emulated core makes:
// what may be taken now, activation and return, masks it reports, level lines,
// usage faults and their escalation; the NVIC's bits for interrupts the part
// lacks; the SysTick's count, COUNTFLAG and CALIB.
#include "exception_model.h"

#include <gtest/gtest.h>

#include "rules.h"

namespace {

using board::Cycles;
using board::ExceptionModel;

constexpr int kIrq(int n) { return ExceptionModel::kIrq0 + n; }
constexpr uint32_t kIser0 = 0x100, kIcer0 = 0x180, kIpr0 = 0x400, kShpr3 = 0xD20, kAircr = 0xD0C,
                   kVtor = 0xD08, kCcr = 0xD14;

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
  events.advance_to(events.now() + ExceptionModel::kBridgeCycles);  // the clear has reached the peripheral
  m.deactivate();
  EXPECT_FALSE(m.is_pending(kIrq(1)));
  EXPECT_EQ(m.late_clears(kIrq(1)), 0u);
}

TEST_F(Model, AClearThatIsTheHandlersLastActIsLateAndTheHandlerRunsOnceMore) {
  for (Cycles after : {Cycles{0}, ExceptionModel::kBridgeCycles - 1}) {
    m.set_irq_line(1, true);
    m.activate(kIrq(1));
    m.set_irq_line(1, false);
    events.advance_to(events.now() + after);
    m.deactivate();
    EXPECT_TRUE(m.is_pending(kIrq(1))) << after;  // the line was still high at the return
    m.activate(kIrq(1));                          // the second run finds nothing to do
    events.advance_to(events.now() + 10);
    m.deactivate();
    EXPECT_FALSE(m.is_pending(kIrq(1))) << after;
  }
  EXPECT_EQ(m.late_clears(kIrq(1)), 2u);
  // At 8 MHz a core cycle is nine board cycles: the bridge takes nine times longer.
  m.set_core_clock(8000000);
  m.set_irq_line(1, true);
  m.activate(kIrq(1));
  m.set_irq_line(1, false);
  events.advance_to(events.now() + ExceptionModel::kBridgeCycles * 9 - 1);
  m.deactivate();
  EXPECT_TRUE(m.is_pending(kIrq(1)));
  EXPECT_EQ(m.late_clears(kIrq(1)), 3u);
}

TEST_F(Model, ALineRaisedAgainBeforeTheReturnIsANewEventNotALateClear) {
  m.set_irq_line(1, true);
  m.activate(kIrq(1));
  m.set_irq_line(1, false);
  m.set_irq_line(1, true);  // the timer's next event, right behind the clear
  m.deactivate();
  EXPECT_TRUE(m.is_pending(kIrq(1)));
  EXPECT_EQ(m.late_clears(kIrq(1)), 0u);
}

TEST_F(Model, ANestedHandlersLateClearPendsOnlyItselfAndItsReturnLeavesTheOuterAlone) {
  m.write8(kIpr0 + 1, 0x80);
  m.write8(kIpr0 + 2, 0x40);
  m.set_irq_line(1, true);
  m.activate(kIrq(1));
  m.set_irq_line(1, false);  // the outer handler acknowledges first
  m.set_irq_line(2, true);
  ASSERT_EQ(m.takeable(), kIrq(2));
  m.activate(kIrq(2));
  events.advance_to(events.now() + 20);
  m.set_irq_line(2, false);  // the inner one's last act
  EXPECT_EQ(m.deactivate(), kIrq(2));
  EXPECT_TRUE(m.is_pending(kIrq(2)));
  EXPECT_FALSE(m.is_pending(kIrq(1)));
  ASSERT_EQ(m.takeable(), kIrq(2));  // tail-chained in again over the outer handler
  m.activate(kIrq(2));
  events.advance_to(events.now() + 20);
  EXPECT_EQ(m.deactivate(), kIrq(2));
  EXPECT_FALSE(m.is_pending(kIrq(2)));
  // Back in the outer handler, which returns at once: its own clear went out long before.
  EXPECT_EQ(m.deactivate(), kIrq(1));
  EXPECT_FALSE(m.is_pending(kIrq(1)));
  EXPECT_EQ(m.late_clears(kIrq(1)), 0u);
  EXPECT_EQ(m.late_clears(kIrq(2)), 1u);
}

TEST_F(Model, AnotherSourcesFlagClearedLastIsNoLateClearOfTheHandlerReturning) {
  m.set_irq_line(1, true);
  m.activate(kIrq(1));
  m.set_irq_line(1, false);
  m.set_irq_line(3, true);
  events.advance_to(events.now() + 20);
  m.set_irq_line(3, false);  // the handler's last act acknowledges another timer
  m.deactivate();
  EXPECT_FALSE(m.is_pending(kIrq(1)));
  EXPECT_EQ(m.late_clears(kIrq(1)), 0u);
  EXPECT_EQ(m.late_clears(kIrq(3)), 0u);
}

TEST_F(Model, ALateClearOfAnInterruptItsHandlerDisabledWaitsPendingForTheEnable) {
  m.set_irq_line(1, true);
  m.activate(kIrq(1));
  m.write(kIcer0, 1u << 1);
  m.set_irq_line(1, false);
  m.deactivate();
  // The NVIC latches a line it sees high whether or not the interrupt is enabled.
  EXPECT_TRUE(m.is_pending(kIrq(1)));
  EXPECT_EQ(m.takeable(), -1);
  EXPECT_EQ(m.late_clears(kIrq(1)), 1u);
  m.write(kIser0, 1u << 1);
  EXPECT_EQ(m.takeable(), kIrq(1));
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

TEST_F(Model, AUsageFaultIsTakenWhenEnabledAndAboveElseEscalatesOrLocksUp) {
  constexpr uint32_t kShcsr = 0xD24, kCfsr = 0xD28, kHfsr = 0xD2C, kForced = 1u << 30;
  m.write8(kIpr0 + 1, 0x80);
  m.activate(kIrq(1));
  // Disabled (as after reset): a hard fault, forced.
  EXPECT_EQ(m.usage_fault(ExceptionModel::kUfsrInvState), ExceptionModel::kHardFault);
  EXPECT_EQ(m.read(kCfsr), ExceptionModel::kUfsrInvState);
  EXPECT_EQ(m.read(kHfsr), kForced);
  m.write(kCfsr, ExceptionModel::kUfsrInvState);  // write 1 to clear
  m.write(kHfsr, kForced);
  EXPECT_EQ(m.read(kCfsr) | m.read(kHfsr), 0u);
  // Enabled at priority 0: above IRQ 1's 0x80.
  m.write(kShcsr, 1u << 18);
  EXPECT_EQ(m.usage_fault(ExceptionModel::kUfsrInvPc), ExceptionModel::kUsageFault);
  EXPECT_EQ(m.read(kHfsr), 0u);
  m.activate(ExceptionModel::kUsageFault);
  EXPECT_EQ(m.read(kShcsr), (1u << 18) | (1u << 3));  // USGFAULTACT while it runs
  // A usage fault within the usage fault: escalated; within the hard fault: a lockup.
  EXPECT_EQ(m.usage_fault(ExceptionModel::kUfsrInvState), ExceptionModel::kHardFault);
  m.activate(ExceptionModel::kHardFault);
  EXPECT_EQ(m.usage_fault(ExceptionModel::kUfsrInvState), -1);
  EXPECT_EQ(m.read(kCfsr), ExceptionModel::kUfsrInvState | ExceptionModel::kUfsrInvPc);
  // Enabled but not above what runs: escalated too.
  ExceptionModel same{events};
  same.write(kShcsr, 1u << 18);
  same.activate(kIrq(2));  // priority 0, as the usage fault's
  EXPECT_EQ(same.usage_fault(ExceptionModel::kUfsrInvPc), ExceptionModel::kHardFault);
}

TEST_F(Model, AHaltKeepsItsFirstReason) {
  EXPECT_FALSE(m.halted());
  m.mark_halted("fault: first");
  m.mark_halted("second");
  EXPECT_TRUE(m.halted());
  EXPECT_EQ(m.halt_reason(), "fault: first");
}

// The part has IRQ 0 to 42 (USBWakeUp, the last): the bits of the others read as
// zero, and setting one is a mistake the chip ignores.
TEST(NvicPastTheLastIrq, BitsReadZeroWritesAreIgnoredAndSettingThemIsReported) {
  board::EventQueue events;
  board::Rules rules{events};
  ExceptionModel m{events};
  m.watch(&rules);
  m.write(kIser0 + 4, 1u << 10);  // IRQ 42
  EXPECT_TRUE(m.irq_enabled(42));
  EXPECT_EQ(rules.count(), 0u);
  m.write(kIser0 + 4, 0xFFFFFFFFu);  // IRQ 32 to 63
  EXPECT_EQ(m.read(kIser0 + 4), 0x7FFu);
  ASSERT_EQ(rules.count(), 1u);
  EXPECT_EQ(
      rules.first(),
      "at 0.000000000 s, NVIC.ISER[1]: enables IRQ 43, past the part's last, IRQ 42 (USBWakeUp; the chip "
      "has no such interrupt and ignores it)");
  m.write(kIser0 + 8, 1u << 3);  // IRQ 67, which the connectivity line would have
  EXPECT_EQ(m.read(kIser0 + 8), 0u);
  m.write(0x204, 1u << 20);  // ISPR[1]: IRQ 52
  EXPECT_EQ(m.read(0x204), 0u);
  m.write(0xF00, 60);  // STIR
  m.write8(kIpr0 + 50, 0x80);
  EXPECT_EQ(m.read8(kIpr0 + 50), 0u);
  EXPECT_EQ(m.read(kIpr0 + 48), 0u);
  EXPECT_FALSE(m.any_pending());
  EXPECT_EQ(rules.count(), 5u);
  // Clearing bits that are not there, or a priority of 0, does no harm and is not reported.
  m.write(0x184, 0xFFFFFFFFu);  // ICER[1]
  m.write(0x284, 0xFFFFFFFFu);  // ICPR[1]
  m.write(kIpr0 + 48, 0);
  EXPECT_EQ(rules.count(), 5u);
  EXPECT_FALSE(m.irq_enabled(42));
  // The last IRQ the part has still works in full.
  m.write(kIser0 + 4, 1u << 10);
  m.write8(kIpr0 + 42, 0x40);
  m.write(0xF00, 42);
  EXPECT_EQ(m.read(0x204), 1u << 10);
  EXPECT_EQ(m.takeable(), kIrq(42));
  EXPECT_EQ(m.priority(kIrq(42)), 0x40);
  EXPECT_EQ(rules.count(), 5u);
}

// SysTick counts down LOAD to 0 and reloads on the next tick; COUNTFLAG sets when
// it reaches 0 by counting, with or without TICKINT, and clears on a read of CTRL
// or any write to VAL.
TEST(SysTick, CountFlagTheCountFromTimeAndCalib) {
  constexpr uint32_t kCtrl = 0x010, kLoad = 0x014, kVal = 0x018, kCalib = 0x01C, kFlag = 1u << 16;
  board::EventQueue events;
  ExceptionModel m{events};
  auto at = [&](board::Cycles c) {
    events.advance_to(c);
    events.run_due();
  };
  EXPECT_EQ(m.read(kCalib), 0x40002328u);  // TENMS 9000 with SKEW
  m.write(kLoad, 99);                      // 100 ticks a period
  m.write(kVal, 12345);                    // whatever is written clears it
  EXPECT_EQ(m.read(kVal), 0u);
  m.write(kCtrl, 0x5);  // on, the core clock, no interrupt
  at(1);
  EXPECT_EQ(m.read(kVal), 99u);  // the first tick reloads
  at(40);
  EXPECT_EQ(m.read(kVal), 60u);
  EXPECT_EQ(m.read(kCtrl), 0x5u);
  at(100);
  EXPECT_EQ(m.read(kVal), 0u);
  EXPECT_EQ(m.peek(kCtrl), kFlag | 0x5u);  // a debugger's look leaves it
  EXPECT_EQ(m.read(kCtrl), kFlag | 0x5u);
  EXPECT_EQ(m.read(kCtrl), 0x5u);  // the read cleared it
  EXPECT_FALSE(m.is_pending(ExceptionModel::kSysTick));
  at(250);  // past another 0, at 200
  EXPECT_EQ(m.read(kVal), 50u);
  m.write(kVal, 1);
  EXPECT_EQ(m.read(kCtrl), 0x5u);  // the write cleared the flag of 200 too
  EXPECT_EQ(m.read(kVal), 0u);
  at(251);
  EXPECT_EQ(m.read(kVal), 99u);
  m.write(kCtrl, 0x1);  // HCLK / 8: a tick every 8 cycles, from the count it has
  at(251 + 8 * 9);
  EXPECT_EQ(m.read(kVal), 90u);
  m.write(kCtrl, 0x0);  // off: the count stands
  at(10000);
  EXPECT_EQ(m.read(kVal), 90u);
  m.write(kCtrl, 0x7);  // on again with the interrupt: 0 after 90 ticks
  at(10089);
  EXPECT_FALSE(m.is_pending(ExceptionModel::kSysTick));
  at(10090);
  EXPECT_TRUE(m.is_pending(ExceptionModel::kSysTick));
  EXPECT_EQ(m.read(kCtrl), kFlag | 0x7u);
  m.clear_pending(ExceptionModel::kSysTick);
  at(10240);
  EXPECT_TRUE(m.is_pending(ExceptionModel::kSysTick));  // at 10190
  m.clear_pending(ExceptionModel::kSysTick);
  EXPECT_EQ(m.read(kVal), 50u);
  m.write(kLoad, 9);  // the count under way ends first, at 10290
  at(10289);
  EXPECT_EQ(m.read(kVal), 1u);
  EXPECT_FALSE(m.is_pending(ExceptionModel::kSysTick));
  at(10290);
  EXPECT_TRUE(m.is_pending(ExceptionModel::kSysTick));
  m.clear_pending(ExceptionModel::kSysTick);
  at(10291);
  EXPECT_EQ(m.read(kVal), 9u);
  at(10300);
  EXPECT_TRUE(m.is_pending(ExceptionModel::kSysTick));
  // A reload of 0 stops at 0: no flag, no interrupt.
  m.write(kLoad, 0);
  at(10310);
  m.write(kVal, 0);
  m.clear_pending(ExceptionModel::kSysTick);
  at(20000);
  EXPECT_EQ(m.read(kVal), 0u);
  EXPECT_EQ(m.read(kCtrl), 0x7u);
  EXPECT_FALSE(m.is_pending(ExceptionModel::kSysTick));
}

}  // namespace
