// A system reset of the register models: registers back to their reset values,
// the backup domain and the wiring kept, and nothing a model had scheduled before
// acting after it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "afio.h"
#include "bkp.h"
#include "crc.h"
#include "exception_model.h"
#include "fiber.h"
#include "flash.h"
#include "gpio.h"
#include "pwr.h"
#include "rcc.h"
#include "timer.h"
#include "usart.h"

namespace {

using board::Gpio;
using board::Rcc;
using board::Timer;
using board::Usart;

struct Models : ::testing::Test {
  board::EventQueue events;
  board::Pwr pwr;
  board::Bkp bkp{pwr};
  Rcc rcc{bkp};

  void SetUp() override {
    // 72 MHz from the PLL, APB1 halved, USART1 clocked.
    rcc.write(Rcc::kCR, 0x00010081);
    rcc.write(Rcc::kCFGR, 0x001D0400);
    rcc.write(Rcc::kCR, 0x01010081);
    rcc.write(Rcc::kCFGR, 0x001D0402);
    rcc.write(Rcc::kAPB2ENR, 1u << 14);
  }
  void at(board::Cycles c) {
    events.advance_to(c);
    events.run_due();
  }
};

TEST_F(Models, TimerStopsWithItsRegistersClearedListenersKeptAndItsEventVoid) {
  Timer t{events, rcc};
  std::vector<bool> levels;
  int writes = 0;
  t.set_irq_listener([&](bool high) { levels.push_back(high); });
  t.add_write_listener([&](uint32_t, uint32_t) { ++writes; });
  t.write(Timer::kPSC, 71);
  t.write(Timer::kARR, 999);
  t.write(Timer::kCCMR1, 0x6868);
  t.write(Timer::kCCR1, 300);
  t.write(Timer::kCCER, 0x11);
  t.write(Timer::kEGR, 1);
  t.write(Timer::kSR, 0);
  t.write(Timer::kDIER, 1);  // update interrupt: an event for the end of the period
  t.write(Timer::kCR1, 1);
  ASSERT_FALSE(events.empty());
  at(events.next_time() - 1);
  t.write(Timer::kEGR, 1);  // an update by software: UIF, and the line goes high
  ASSERT_TRUE(t.irq_line());
  ASSERT_FALSE(events.empty());
  const int writes_before = writes;

  t.reset();
  EXPECT_EQ(levels.back(), false);  // the line falls with the reset
  for (uint32_t reg : {Timer::kCR1, Timer::kDIER, Timer::kSR, Timer::kCCMR1, Timer::kCCER, Timer::kCNT,
                       Timer::kPSC, Timer::kARR, Timer::kCCR1})
    EXPECT_EQ(t.read(reg), 0u) << "offset " << reg;
  EXPECT_FALSE(t.counting());
  EXPECT_EQ(t.high_fraction(1), 0.0);
  EXPECT_EQ(writes, writes_before);  // a reset is no write of the firmware's

  // The update event scheduled before finds nothing to do.
  const size_t level_changes = levels.size();
  at(events.next_time());
  EXPECT_EQ(t.read(Timer::kSR), 0u);
  EXPECT_EQ(levels.size(), level_changes);

  // Still wired: a new set-up counts and interrupts again.
  t.write(Timer::kARR, 99);
  t.write(Timer::kDIER, 1);
  t.write(Timer::kCR1, 1);
  EXPECT_GT(writes, writes_before);
  at(events.next_time());
  EXPECT_TRUE(t.irq_line());
  EXPECT_EQ(levels.back(), true);
}

TEST_F(Models, UsartCutsOffTheByteOnTheLineAndLetsGoOfTheOneReceived) {
  Usart u{events, rcc, true};
  std::string sent;
  int taken = 0, done = 0;
  u.set_tx_sink([&](uint8_t c) { sent.push_back(static_cast<char>(c)); });
  u.set_rx_taken([&] { ++taken; });
  u.set_tx_done([&] { ++done; });
  u.write(Usart::kBRR, 0x271);
  u.write(Usart::kCR1, 0x200C);
  u.write(Usart::kDR, 'A');
  u.write(Usart::kDR, 'B');  // held behind A
  ASSERT_TRUE(u.receive('x'));
  const board::Cycles end_of_a = events.next_time();

  u.reset();
  EXPECT_EQ(taken, 1);  // the byte in the data register is gone, as if read
  EXPECT_EQ(u.read(Usart::kSR), Usart::kTC | Usart::kTXE);
  EXPECT_EQ(u.read(Usart::kCR1), 0u);
  EXPECT_EQ(u.read(Usart::kBRR), 0u);
  EXPECT_FALSE(u.accepting());
  EXPECT_FALSE(u.receive('y'));  // switched off

  at(end_of_a);  // A's end no longer counts, and B never leaves
  EXPECT_EQ(done, 0);
  EXPECT_EQ(sent, "A");
  EXPECT_TRUE(events.empty());

  u.reset();  // nothing held: nobody is told anything
  EXPECT_EQ(taken, 1);

  u.write(Usart::kBRR, 0x271);
  u.write(Usart::kCR1, 0x200C);
  u.write(Usart::kDR, 'C');
  at(events.next_time());
  EXPECT_EQ(sent, "AC");
  EXPECT_EQ(done, 1);
}

TEST(GpioReset, PinsFloatAgainWhatDevicesDriveStaysAndListenersHearIt) {
  Gpio port{'A'};
  std::vector<std::pair<int, bool>> changes;
  port.add_listener([&](int pin, bool level) { changes.emplace_back(pin, level); });
  port.write(Gpio::kCRL, 0x44344444);  // PA5 push-pull output
  port.write(Gpio::kBSRR, 1u << 5);
  port.drive(2, true);  // a device holds PA2 high
  port.write(Gpio::kLCKR, (1u << 16) | (1u << 5));
  port.write(Gpio::kLCKR, 1u << 5);
  port.write(Gpio::kLCKR, (1u << 16) | (1u << 5));
  port.read(Gpio::kLCKR);
  ASSERT_TRUE(port.locked(5));
  changes.clear();

  port.reset();
  EXPECT_EQ(port.read(Gpio::kCRL), 0x44444444u);
  EXPECT_EQ(port.read(Gpio::kODR), 0u);
  EXPECT_FALSE(port.locked(5));
  EXPECT_FALSE(port.level(5));
  EXPECT_TRUE(port.level(2));
  EXPECT_EQ(changes, (std::vector<std::pair<int, bool>>{{5, false}}));
  port.write(Gpio::kCRL, 0x44344444);  // no longer locked: it can be set up again
  port.write(Gpio::kBSRR, 1u << 5);
  EXPECT_TRUE(port.level(5));
}

TEST_F(Models, RccKeepsTheBackupDomainAndTheResetFlagsAndAddsThePinReset) {
  constexpr uint32_t kLseOn = 1u << 0, kRtcLse = 1u << 8, kPinReset = 1u << 26, kPowerReset = 1u << 27,
                     kRemoveFlags = 1u << 24;
  pwr.write(board::Pwr::kCR, board::Pwr::kDBP);
  rcc.write(Rcc::kBDCR, kLseOn | kRtcLse);
  bkp.write(board::Bkp::dr_offset(2), 0xBEEF);
  const uint32_t bdcr = rcc.read(Rcc::kBDCR);
  ASSERT_NE(bdcr & kLseOn, 0u);
  rcc.write(Rcc::kCSR, kRemoveFlags);  // flags cleared by software
  ASSERT_EQ(rcc.read(Rcc::kCSR) & (kPinReset | kPowerReset), 0u);

  pwr.reset();
  rcc.system_reset();
  EXPECT_EQ(rcc.read(Rcc::kBDCR), bdcr);
  EXPECT_EQ(rcc.read(Rcc::kCSR) & 0xFF000000u, kPinReset);  // only the pin this time
  EXPECT_EQ(rcc.read(Rcc::kCFGR), 0u);                      // back on the HSI
  EXPECT_EQ(rcc.read(Rcc::kAPB2ENR), 0u);
  EXPECT_EQ(bkp.data(2), 0xBEEF);
  EXPECT_FALSE(pwr.backup_writable());  // DBP is not in the backup domain
}

TEST(CoreReset, NvicScbSysTickAndMasksClearAHaltedCoreRunsAndAnOldTickIsVoid) {
  board::EventQueue events;
  board::ExceptionModel m{events};
  constexpr uint32_t kIser0 = 0x100, kIpr0 = 0x400, kShpr3 = 0xD20, kVtor = 0xD08, kStCtrl = 0x10,
                     kStLoad = 0x14;
  m.write(kIser0, 0x3);
  m.write8(kIpr0 + 1, 0x40);
  m.write(kShpr3, 0xF0F00000u);
  m.write(kVtor, 0x08000000u);
  m.write(kStLoad, 71999);
  m.write(kStCtrl, 0x7);
  m.set_masks(0xBF, 1);
  m.set_pending(board::ExceptionModel::kIrq0);
  m.set_pending(board::ExceptionModel::kPendSv);
  m.activate(board::ExceptionModel::kPendSv);
  m.mark_halted("a fault");
  ASSERT_FALSE(events.empty());

  m.reset();
  EXPECT_FALSE(m.halted());
  EXPECT_EQ(m.halt_reason(), "");
  EXPECT_EQ(m.nesting(), 0);
  EXPECT_FALSE(m.any_pending());
  EXPECT_EQ(m.basepri(), 0u);
  EXPECT_EQ(m.primask(), 0u);
  EXPECT_FALSE(m.irq_enabled(0));
  EXPECT_EQ(m.priority(board::ExceptionModel::kIrq0 + 1), 0);
  EXPECT_EQ(m.priority(board::ExceptionModel::kSysTick), 0);
  EXPECT_EQ(m.vector_table(), 0u);
  EXPECT_EQ(m.read(kStCtrl), 0u);
  EXPECT_EQ(m.read(kStLoad), 0u);

  events.advance_to(events.next_time());
  events.run_due();  // the tick armed before the reset
  EXPECT_FALSE(m.is_pending(board::ExceptionModel::kSysTick));
  EXPECT_TRUE(events.empty());  // and it did not arm another
}

TEST(PlainModelsReset, AfioFlashAndCrcGoBackToTheirResetValues) {
  board::Afio afio;
  afio.write(board::Afio::kMAPR, 0x02000000u | (1u << 10));
  afio.reset();
  EXPECT_EQ(afio.swj_cfg(), board::Afio::kSwjFull);
  EXPECT_EQ(afio.mapr(), 0u);

  board::FlashCtl flash;
  const uint32_t acr = flash.read(board::FlashCtl::kACR);
  flash.write(board::FlashCtl::kACR, 0x2);  // two wait states, prefetch off
  ASSERT_NE(flash.read(board::FlashCtl::kACR), acr);
  flash.reset();
  EXPECT_EQ(flash.read(board::FlashCtl::kACR), acr);
  EXPECT_TRUE(flash.prefetch_enabled());

  board::Crc crc;
  crc.write(board::Crc::kDR, 0x12345678u);
  crc.write(board::Crc::kIDR, 0x5A);
  crc.reset();
  EXPECT_EQ(crc.value(), board::Crc::kInitial);
  EXPECT_EQ(crc.read(board::Crc::kIDR), 0u);
}

TEST(FiberRelease, DestroyingAContextReleasesWhatItOwnsOnce) {
  static int released;
  released = 0;
  int owned = 7;
  const size_t before = board::Fiber::count();
  auto* f = board::Fiber::create([](void*) {}, &owned, 64 * 1024,
                                 [](void* arg) { released += *static_cast<int*>(arg); });
  auto* g = board::Fiber::create([](void*) {}, nullptr, 64 * 1024);
  EXPECT_EQ(board::Fiber::count(), before + 2);
  board::Fiber::destroy(f);
  EXPECT_EQ(released, 7);
  EXPECT_EQ(board::Fiber::count(), before + 1);
  board::Fiber::destroy(board::Fiber::host());  // never the host's
  board::Fiber::destroy(g);                     // nothing to release
  EXPECT_EQ(released, 7);
  EXPECT_EQ(board::Fiber::count(), before);
}

}  // namespace
