// Register side effects of the board's peripheral models, each on its own.
#include <gtest/gtest.h>

#include <cstdint>
#include <utility>
#include <vector>

#include "afio.h"
#include "bkp.h"
#include "crc.h"
#include "flash.h"
#include "gpio.h"
#include "pwr.h"
#include "rcc.h"
#include "timer.h"

namespace {

using board::Gpio;
using board::Rcc;
using board::Timer;

// --- GPIO ----------------------------------------------------------------------------

constexpr uint32_t kFloating = 0x4, kPull = 0x8, kPushPull = 0x1, kOpenDrain = 0x5, kAltPushPull = 0x9,
                   kAnalog = 0x0;

void configure(Gpio& g, int pin, uint32_t nibble) {
  const uint32_t reg = pin < 8 ? Gpio::kCRL : Gpio::kCRH;
  const uint32_t shift = (pin % 8) * 4;
  g.write(reg, (g.read(reg) & ~(0xFu << shift)) | (nibble << shift));
}

uint32_t idr_bit(Gpio& g, int pin) { return (g.read(Gpio::kIDR) >> pin) & 1u; }

TEST(GpioModel, ResetStateIsFloatingInputsReadingLow) {
  Gpio g('A');
  EXPECT_EQ(g.read(Gpio::kCRL), 0x44444444u);
  EXPECT_EQ(g.read(Gpio::kCRH), 0x44444444u);
  EXPECT_EQ(g.read(Gpio::kIDR), 0u);
  EXPECT_EQ(g.mode(13), 0x4);
  EXPECT_FALSE(g.level(13));
}

TEST(GpioModel, BitSetResetRegisters) {
  Gpio g('B');
  g.write(Gpio::kBSRR, 0x0000000Fu);
  EXPECT_EQ(g.read(Gpio::kODR), 0x000Fu);
  g.write(Gpio::kBSRR, 0x00030010u);  // reset 0-1, set 4
  EXPECT_EQ(g.read(Gpio::kODR), 0x001Cu);
  g.write(Gpio::kBSRR, 0x01000100u);  // set and reset pin 8 at once: set wins
  EXPECT_EQ(g.read(Gpio::kODR), 0x011Cu);
  g.write(Gpio::kBRR, 0xFFFF0014u);  // the upper half of BRR is reserved
  EXPECT_EQ(g.read(Gpio::kODR), 0x0108u);
  EXPECT_EQ(g.read(Gpio::kBSRR), 0u);  // write-only
  EXPECT_EQ(g.read(Gpio::kBRR), 0u);
}

TEST(GpioModel, InputReadsDriveElsePullElseLow) {
  Gpio g('C');
  configure(g, 4, kPull);
  g.write(Gpio::kBSRR, 1u << 4);  // pull-up
  EXPECT_EQ(idr_bit(g, 4), 1u);
  g.drive(4, false);  // a pressed key pulls the line down
  EXPECT_EQ(idr_bit(g, 4), 0u);
  g.release(4);
  EXPECT_EQ(idr_bit(g, 4), 1u);
  g.write(Gpio::kBRR, 1u << 4);  // pull-down
  EXPECT_EQ(idr_bit(g, 4), 0u);
  g.drive(4, true);
  EXPECT_EQ(idr_bit(g, 4), 1u);

  configure(g, 5, kFloating);
  g.write(Gpio::kBSRR, 1u << 5);  // the latch does not matter without a pull
  EXPECT_EQ(idr_bit(g, 5), 0u);
  g.drive(5, true);
  EXPECT_EQ(idr_bit(g, 5), 1u);

  configure(g, 5, kAnalog);  // the input buffer is off in analog mode
  EXPECT_EQ(idr_bit(g, 5), 0u);
  EXPECT_TRUE(g.level(5));
}

TEST(GpioModel, OutputsDriveTheirLatchOrTheirPeripheral) {
  Gpio g('A');
  configure(g, 11, kPushPull);
  g.drive(11, true);  // a push-pull output wins against the outside
  EXPECT_FALSE(g.level(11));
  EXPECT_EQ(idr_bit(g, 11), 0u);
  g.write(Gpio::kBSRR, 1u << 11);
  EXPECT_TRUE(g.level(11));
  EXPECT_EQ(idr_bit(g, 11), 1u);

  configure(g, 3, kOpenDrain);
  g.write(Gpio::kBSRR, 1u << 3);  // let go
  EXPECT_TRUE(g.level(3));
  g.drive(3, false);  // another device pulls the line low
  EXPECT_FALSE(g.level(3));
  EXPECT_EQ(idr_bit(g, 3), 0u);
  g.release(3);
  g.write(Gpio::kBRR, 1u << 3);
  EXPECT_FALSE(g.level(3));

  configure(g, 9, kAltPushPull);
  g.write(Gpio::kBSRR, 1u << 9);  // the latch is not connected in this mode
  EXPECT_FALSE(g.level(9));
  g.drive_alternate(9, true);
  EXPECT_TRUE(g.level(9));
  EXPECT_EQ(g.mode(9), kAltPushPull);
}

TEST(GpioModel, ListenersSeeEveryLevelChangeOnce) {
  Gpio g('A');
  std::vector<std::pair<int, bool>> seen;
  g.add_listener([&](int pin, bool level) { seen.emplace_back(pin, level); });
  configure(g, 5, kPushPull);  // floating low to output low: no change
  EXPECT_TRUE(seen.empty());
  g.write(Gpio::kBSRR, 1u << 5);
  g.write(Gpio::kBSRR, 1u << 5);  // already high
  g.write(Gpio::kBRR, 1u << 5);
  configure(g, 6, kPull);
  g.write(Gpio::kBSRR, 1u << 6);  // a pull-up shows outside too
  g.drive(6, true);               // no change
  const std::vector<std::pair<int, bool>> want = {{5, true}, {5, false}, {6, true}};
  EXPECT_EQ(seen, want);
}

// The port is read whole (IDR, and at every write for the listeners): it must agree
// with each pin's own level in every mode, latch, peripheral and outside state,
// with pins of different kinds side by side.
TEST(GpioModel, ThePortReadWholeAgreesWithEveryPin) {
  for (int round = 0; round < 12; ++round) {
    Gpio g('B');
    std::vector<std::pair<int, bool>> seen;
    g.add_listener([&](int pin, bool level) { seen.emplace_back(pin, level); });
    uint16_t before = 0;
    for (int pin = 0; pin < Gpio::kPins; ++pin) {
      const int combo = round * Gpio::kPins + pin;  // 192 = 16 modes x 2 latches x 2 peripheral x 3 outside
      const auto nibble = static_cast<uint32_t>(combo % 16);
      configure(g, pin, nibble);
      g.write(Gpio::kBSRR, ((combo / 16) % 2 ? 1u : 1u << 16) << pin);
      g.drive_alternate(pin, (combo / 32) % 2 != 0);
      const int outside = (combo / 64) % 3;
      if (outside == 1) g.drive(pin, false);
      if (outside == 2) g.drive(pin, true);
    }
    uint16_t expected = 0;
    for (int pin = 0; pin < Gpio::kPins; ++pin) {
      const bool buffered = g.mode(pin) != kAnalog;
      if (g.level(pin) && buffered) expected |= static_cast<uint16_t>(1u << pin);
      before |= static_cast<uint16_t>(g.level(pin) << pin);
    }
    EXPECT_EQ(g.read(Gpio::kIDR), expected) << "round " << round;
    // Flipping every latch: the listeners hear exactly the pins whose level moved.
    seen.clear();
    g.write(Gpio::kODR, ~g.odr() & 0xFFFFu);
    uint16_t after = 0;
    for (int pin = 0; pin < Gpio::kPins; ++pin) after |= static_cast<uint16_t>(g.level(pin) << pin);
    uint16_t heard = 0;
    for (const auto& [pin, level] : seen) {
      EXPECT_EQ(level, g.level(pin)) << "pin " << pin << " round " << round;
      heard |= static_cast<uint16_t>(1u << pin);
    }
    EXPECT_EQ(heard, before ^ after) << "round " << round;
  }
}

TEST(GpioModel, LockSequenceFreezesTheConfigurationOfLockedPins) {
  Gpio g('A');
  constexpr uint32_t kKey = 1u << 16;
  g.write(Gpio::kLCKR, kKey | 0x0001);
  g.write(Gpio::kLCKR, 0x0002);  // pins changed mid-sequence: no lock
  g.write(Gpio::kLCKR, kKey | 0x0002);
  EXPECT_EQ(g.read(Gpio::kLCKR), 0x0002u);
  configure(g, 1, kPushPull);
  EXPECT_EQ(g.mode(1), kPushPull);

  g.write(Gpio::kLCKR, kKey | 0x0002);
  g.write(Gpio::kLCKR, 0x0002);
  g.write(Gpio::kLCKR, kKey | 0x0002);
  EXPECT_EQ(g.read(Gpio::kLCKR), 0x0002u);  // the completing read still shows the key clear
  EXPECT_EQ(g.read(Gpio::kLCKR), kKey | 0x0002u);
  g.write(Gpio::kCRL, 0);
  EXPECT_EQ(g.mode(1), kPushPull);
  EXPECT_EQ(g.mode(0), 0);
  g.write(Gpio::kLCKR, 0);  // no way out but a reset
  EXPECT_TRUE(g.locked(1));
}

// --- PWR and BKP ---------------------------------------------------------------------

TEST(BackupModel, WritesNeedBackupAccess) {
  board::Pwr pwr;
  board::Bkp bkp{pwr};
  bkp.write(board::Bkp::kDR1, 0x1234);
  EXPECT_EQ(bkp.read(board::Bkp::kDR1), 0u);
  EXPECT_EQ(bkp.ignored_writes, 1u);

  pwr.write(board::Pwr::kCR, board::Pwr::kDBP);
  EXPECT_TRUE(pwr.backup_writable());
  bkp.write(board::Bkp::kDR1, 0xABCD1234u);  // 16 bits wide; the upper half reads 0
  bkp.write(board::Bkp::kDR10, 0xBEEF);
  EXPECT_EQ(bkp.read(board::Bkp::kDR1), 0x1234u);
  EXPECT_EQ(bkp.read(board::Bkp::kDR10), 0xBEEFu);
  EXPECT_EQ(bkp.data(10), 0xBEEF);
  EXPECT_EQ(bkp.data(11), 0);
  EXPECT_EQ(bkp.ignored_writes, 1u);

  pwr.reset();
  bkp.write(board::Bkp::kDR1, 0);
  EXPECT_EQ(bkp.data(1), 0x1234);
  EXPECT_EQ(bkp.ignored_writes, 2u);
}

TEST(BackupModel, SnapshotAndLoadCarryTheDomain) {
  board::Pwr pwr;
  board::Bkp bkp{pwr};
  board::Bkp::Data d{};
  d[0] = 0x0102;
  d[9] = 0xFFFF;
  bkp.load(d);
  EXPECT_EQ(bkp.read(board::Bkp::kDR1), 0x0102u);
  EXPECT_EQ(bkp.snapshot(), d);
  bkp.reset_domain();
  EXPECT_EQ(bkp.snapshot(), board::Bkp::Data{});
}

// --- RCC -----------------------------------------------------------------------------

constexpr uint32_t kHseOn = 1u << 16, kHseRdy = 1u << 17, kHseByp = 1u << 18, kPllOn = 1u << 24,
                   kPllRdy = 1u << 25, kHsiOn = 1u;
constexpr uint32_t kPllHseX9 = (1u << 16) | (7u << 18);
constexpr uint32_t kSwPll = 2, kSwsMask = 0xC, kSwsPll = 8;

struct RccFixture : ::testing::Test {
  board::Pwr pwr;
  board::Bkp bkp{pwr};
  Rcc rcc{bkp};

  void run_at_72mhz() {
    rcc.write(Rcc::kCR, kHsiOn | kHseOn);
    rcc.write(Rcc::kCFGR, kPllHseX9 | (4u << 8));  // APB1 / 2
    rcc.write(Rcc::kCR, kHsiOn | kHseOn | kPllOn);
    rcc.write(Rcc::kCFGR, kPllHseX9 | (4u << 8) | kSwPll);
  }
};

TEST_F(RccFixture, ResetState) {
  EXPECT_EQ(rcc.read(Rcc::kCR), 0x00000083u);
  EXPECT_EQ(rcc.read(Rcc::kCFGR), 0u);
  EXPECT_EQ(rcc.read(Rcc::kAHBENR), 0x14u);
  EXPECT_EQ(rcc.read(Rcc::kCSR), 0x0C000000u);
  EXPECT_EQ(rcc.sysclk_hz(), 8000000u);
  EXPECT_EQ(rcc.timer_clock_hz(true), 8000000u);
}

TEST_F(RccFixture, OscillatorsAndPllAreReadyAtOnce) {
  run_at_72mhz();
  const uint32_t cr = rcc.read(Rcc::kCR);
  EXPECT_TRUE(cr & kHseRdy);
  EXPECT_TRUE(cr & kPllRdy);
  EXPECT_EQ(rcc.read(Rcc::kCFGR) & kSwsMask, kSwsPll);
  EXPECT_EQ(rcc.sysclk_hz(), 72000000u);
  EXPECT_EQ(rcc.hclk_hz(), 72000000u);
  EXPECT_EQ(rcc.pclk1_hz(), 36000000u);
  EXPECT_EQ(rcc.pclk2_hz(), 72000000u);
  EXPECT_EQ(rcc.timer_clock_hz(true), 72000000u);   // APB1 prescaler 2: doubled
  EXPECT_EQ(rcc.timer_clock_hz(false), 72000000u);  // APB2 prescaler 1: as is
  EXPECT_TRUE(rcc.stable(Rcc::kCR));
}

TEST_F(RccFixture, WithoutCrystalNothingFollowsTheHse) {
  rcc.crystal_present = false;
  rcc.write(Rcc::kCR, kHsiOn | kHseOn);
  EXPECT_FALSE(rcc.read(Rcc::kCR) & kHseRdy);
  EXPECT_FALSE(rcc.stable(Rcc::kCR));  // a poll must not stop time
  rcc.write(Rcc::kCFGR, kPllHseX9);
  rcc.write(Rcc::kCR, kHsiOn | kHseOn | kPllOn);
  rcc.write(Rcc::kCFGR, kPllHseX9 | kSwPll);
  EXPECT_FALSE(rcc.read(Rcc::kCR) & kPllRdy);
  EXPECT_EQ(rcc.read(Rcc::kCFGR) & kSwsMask, 0u);  // still on the internal oscillator
  EXPECT_EQ(rcc.sysclk_hz(), 8000000u);
}

TEST_F(RccFixture, SwitchWaitsForItsSourceAndTheSystemClockStaysOn) {
  rcc.write(Rcc::kCFGR, kPllHseX9 | kSwPll);  // PLL not on yet: no switch
  EXPECT_EQ(rcc.read(Rcc::kCFGR) & kSwsMask, 0u);
  rcc.write(Rcc::kCR, kHsiOn | kHseOn | kPllOn);
  EXPECT_EQ(rcc.read(Rcc::kCFGR) & kSwsMask, kSwsPll);

  rcc.write(Rcc::kCR, 0);  // neither PLL nor crystal may stop while they clock the system
  EXPECT_EQ(rcc.read(Rcc::kCR) & (kHseOn | kPllOn), kHseOn | kPllOn);
  rcc.write(Rcc::kCFGR, kSwPll);  // PLL settings frozen while it runs
  EXPECT_EQ(rcc.read(Rcc::kCFGR) & kPllHseX9, kPllHseX9);

  rcc.write(Rcc::kCR, kHsiOn);       // the internal oscillator may stop and start again
  rcc.write(Rcc::kCFGR, kPllHseX9);  // back to it: now both may stop
  rcc.write(Rcc::kCR, kHsiOn);
  EXPECT_EQ(rcc.read(Rcc::kCR) & (kHseOn | kPllOn | kPllRdy), 0u);

  rcc.write(Rcc::kCR, kHsiOn | kHseByp | kHseOn);
  rcc.write(Rcc::kCR, kHsiOn | kHseOn);  // bypass frozen while the oscillator runs
  EXPECT_TRUE(rcc.read(Rcc::kCR) & kHseByp);
}

TEST_F(RccFixture, ReadyInterruptFlagsRiseOnlyWhenEnabled) {
  constexpr uint32_t kHseRdyIe = 1u << 11, kHseRdyF = 1u << 3, kHseRdyC = 1u << 19;
  rcc.write(Rcc::kCR, kHsiOn | kHseOn);
  EXPECT_EQ(rcc.read(Rcc::kCIR) & kHseRdyF, 0u);
  rcc.write(Rcc::kCR, kHsiOn);
  rcc.write(Rcc::kCIR, kHseRdyIe);
  rcc.write(Rcc::kCR, kHsiOn | kHseOn);
  EXPECT_EQ(rcc.read(Rcc::kCIR), kHseRdyIe | kHseRdyF);
  rcc.write(Rcc::kCIR, kHseRdyIe | kHseRdyC);
  EXPECT_EQ(rcc.read(Rcc::kCIR), kHseRdyIe);
}

TEST_F(RccFixture, ClockGates) {
  EXPECT_TRUE(rcc.clocked(0x40021000));   // RCC
  EXPECT_TRUE(rcc.clocked(0x40022000));   // FLASH
  EXPECT_FALSE(rcc.clocked(0x40010800));  // GPIOA
  EXPECT_FALSE(rcc.clocked(0x40023000));  // CRC
  EXPECT_FALSE(rcc.clocked(0x40000400));  // TIM3
  rcc.write(Rcc::kAPB2ENR, 1u << 2);
  rcc.write(Rcc::kAHBENR, 0x14u | (1u << 6));
  rcc.write(Rcc::kAPB1ENR, 1u << 1);
  EXPECT_TRUE(rcc.clocked(0x40010800));
  EXPECT_FALSE(rcc.clocked(0x40010C00));  // GPIOB
  EXPECT_TRUE(rcc.clocked(0x40023000));
  EXPECT_TRUE(rcc.clocked(0x40000400));
  EXPECT_FALSE(rcc.clocked(0x40000800));  // TIM4
  EXPECT_FALSE(rcc.clocked(0x40024000));  // nothing there
  rcc.write(Rcc::kAPB1ENR, 0xFFFFFFFFu);  // reserved bits stay 0
  EXPECT_EQ(rcc.read(Rcc::kAPB1ENR), 0x1AE64807u);
}

TEST_F(RccFixture, PeripheralResets) {
  pwr.write(board::Pwr::kCR, board::Pwr::kDBP);
  std::vector<uint32_t> reset;
  rcc.set_reset_listener([&](uint32_t base) { reset.push_back(base); });
  rcc.write(Rcc::kAPB1RSTR, (1u << 28) | (1u << 1));  // PWR and TIM3
  rcc.write(Rcc::kAPB1RSTR, (1u << 28) | (1u << 1));  // still held: no new reset
  rcc.write(Rcc::kAPB1RSTR, 0);
  EXPECT_FALSE(pwr.backup_writable());
  EXPECT_EQ(reset, std::vector<uint32_t>{0x40000400});
}

TEST_F(RccFixture, BackupDomainResetClearsAndHoldsTheBackupRegisters) {
  constexpr uint32_t kBdRst = 1u << 16, kLseOn = 1u, kLseRdy = 2u;
  pwr.write(board::Pwr::kCR, board::Pwr::kDBP);
  bkp.write(board::Bkp::dr_offset(4), 0x5555);
  rcc.write(Rcc::kBDCR, kLseOn);
  EXPECT_EQ(rcc.read(Rcc::kBDCR), kLseOn | kLseRdy);

  rcc.write(Rcc::kBDCR, kBdRst | kLseOn);
  EXPECT_EQ(bkp.data(4), 0);
  EXPECT_EQ(rcc.read(Rcc::kBDCR), kBdRst);
  bkp.write(board::Bkp::dr_offset(4), 0x1111);  // held in reset
  EXPECT_EQ(bkp.data(4), 0);

  rcc.write(Rcc::kBDCR, 0);
  bkp.write(board::Bkp::dr_offset(4), 0x2222);
  EXPECT_EQ(bkp.data(4), 0x2222);

  pwr.write(board::Pwr::kCR, 0);  // the domain's own BDCR bits are protected too
  rcc.write(Rcc::kBDCR, kLseOn);
  EXPECT_EQ(rcc.read(Rcc::kBDCR), 0u);
}

// --- CRC, FLASH, AFIO ----------------------------------------------------------------

// Byte-at-a-time CRC-32/MPEG-2, written independently of the model's word loop.
uint32_t reference_crc(const std::vector<uint8_t>& bytes, uint32_t crc = 0xFFFFFFFFu) {
  for (uint8_t b : bytes) {
    crc ^= static_cast<uint32_t>(b) << 24;
    for (int i = 0; i < 8; ++i) crc = (crc << 1) ^ ((crc >> 31) ? 0x04C11DB7u : 0u);
  }
  return crc;
}

TEST(CrcModel, ReferenceMatchesTheStandardCheckValue) {
  EXPECT_EQ(reference_crc({'1', '2', '3', '4', '5', '6', '7', '8', '9'}), 0x0376E6E7u);
}

TEST(CrcModel, WordsGoInMostSignificantByteFirst) {
  board::Crc crc;
  const std::vector<uint32_t> words = {0x00000000u, 0x12345678u, 0xFFFFFFFFu, 0x80000001u, 0x0000BEEFu};
  std::vector<uint8_t> bytes;
  for (uint32_t w : words) {
    crc.write(board::Crc::kDR, w);
    for (int shift = 24; shift >= 0; shift -= 8) bytes.push_back(static_cast<uint8_t>(w >> shift));
    EXPECT_EQ(crc.read(board::Crc::kDR), reference_crc(bytes)) << "after " << bytes.size() / 4 << " words";
  }
}

TEST(CrcModel, ResetAndIndependentDataRegister) {
  board::Crc crc;
  EXPECT_EQ(crc.read(board::Crc::kDR), 0xFFFFFFFFu);
  for (int i = 0; i < 4; ++i) crc.write(board::Crc::kDR, 0);
  EXPECT_EQ(crc.read(board::Crc::kDR), 0x552D22C8u);
  crc.write(board::Crc::kIDR, 0x1A5);  // 8 bits wide
  crc.write(board::Crc::kCR, 1);
  EXPECT_EQ(crc.read(board::Crc::kDR), 0xFFFFFFFFu);
  EXPECT_EQ(crc.read(board::Crc::kCR), 0u);
  EXPECT_EQ(crc.read(board::Crc::kIDR), 0xA5u);  // the reset leaves it alone
}

TEST(FlashModel, AccessControl) {
  board::FlashCtl flash;
  EXPECT_EQ(flash.read(board::FlashCtl::kACR), 0x30u);
  flash.write(board::FlashCtl::kACR, 0x2);  // prefetch off, 2 wait states
  EXPECT_EQ(flash.read(board::FlashCtl::kACR), 0x02u);
  EXPECT_FALSE(flash.prefetch_enabled());
  flash.write(board::FlashCtl::kACR, 0xFFFFFFDAu);  // the status bit is read-only
  EXPECT_EQ(flash.read(board::FlashCtl::kACR), 0x3Au);
  EXPECT_EQ(flash.latency(), 2u);
}

TEST(AfioModel, DebugPortConfigurationIsWriteOnly) {
  board::Afio afio;
  EXPECT_TRUE(afio.jtag_enabled());
  afio.write(board::Afio::kMAPR, 0x04000800u);
  EXPECT_EQ(afio.read(board::Afio::kMAPR), 0x00000800u);
  EXPECT_EQ(afio.swj_cfg(), board::Afio::kSwjDisabled);
  EXPECT_FALSE(afio.swd_enabled());
  afio.write(board::Afio::kMAPR, 0x07000004u);  // not a valid setting: no effect
  EXPECT_EQ(afio.swj_cfg(), board::Afio::kSwjDisabled);
  EXPECT_EQ(afio.mapr(), 0x00000004u);
  afio.write(board::Afio::kMAPR, 0x02000000u);
  EXPECT_TRUE(afio.swd_enabled());
  EXPECT_FALSE(afio.jtag_enabled());
}

// --- timers --------------------------------------------------------------------------

constexpr uint32_t kUg = 1, kCc1 = 2, kCc3 = 8;

TEST(TimerModel, StatusBitsClearOnWrittenZeros) {
  Timer t;
  t.write(Timer::kEGR, kUg | kCc1 | kCc3);
  EXPECT_EQ(t.read(Timer::kSR), kUg | kCc1 | kCc3);
  t.write(Timer::kSR, ~kCc1);
  EXPECT_EQ(t.read(Timer::kSR), kUg | kCc3);
  t.write(Timer::kSR, 0xFFFFFFFFu);  // ones set nothing
  EXPECT_EQ(t.read(Timer::kSR), kUg | kCc3);
  t.write(Timer::kSR, 0);
  EXPECT_EQ(t.read(Timer::kSR), 0u);
  EXPECT_EQ(t.read(Timer::kEGR), 0u);
}

TEST(TimerModel, ReservedBitsAreNotStored) {
  Timer t;
  t.write(Timer::kCR1, 0xFFFFFFFFu);
  t.write(Timer::kDIER, 0xFFFFFFFFu);
  t.write(Timer::kCCER, 0xFFFFFFFFu);
  t.write(Timer::kCNT, 0x12345u);
  t.write(Timer::kRCR, 0xFF);
  EXPECT_EQ(t.read(Timer::kCR1), 0x3FFu);
  EXPECT_EQ(t.read(Timer::kDIER), 0x5F5Fu);
  EXPECT_EQ(t.read(Timer::kCCER), 0x3333u);
  EXPECT_EQ(t.read(Timer::kCNT), 0x2345u);
  EXPECT_EQ(t.read(Timer::kRCR), 0u);
  EXPECT_FALSE(t.stable(Timer::kCNT));
  EXPECT_TRUE(t.stable(Timer::kCCMR1));
}

TEST(TimerModel, PreloadRegistersLoadAtUpdate) {
  Timer t;
  t.write(Timer::kPSC, 719);
  t.write(Timer::kARR, 1000);  // no ARPE: at once
  t.write(Timer::kCCR1, 300);  // no OC1PE: at once
  EXPECT_EQ(t.prescaler(), 0);
  EXPECT_EQ(t.autoreload(), 1000);
  EXPECT_EQ(t.compare(1), 300);

  t.write(Timer::kCR1, 1u << 7);    // ARPE
  t.write(Timer::kCCMR1, 0x0068u);  // PWM mode 1 with OC1PE
  t.write(Timer::kARR, 2000);
  t.write(Timer::kCCR1, 400);
  t.write(Timer::kCNT, 55);
  EXPECT_EQ(t.read(Timer::kARR), 2000u);
  EXPECT_EQ(t.autoreload(), 1000);
  EXPECT_EQ(t.compare(1), 300);
  t.write(Timer::kEGR, kUg);
  EXPECT_EQ(t.prescaler(), 719);
  EXPECT_EQ(t.autoreload(), 2000);
  EXPECT_EQ(t.compare(1), 400);
  EXPECT_EQ(t.counter(), 0);
  EXPECT_EQ(t.oc_mode(1), 6);
}

TEST(TimerModel, UpdateRequestSourceAndUpdateDisable) {
  Timer t;
  t.write(Timer::kCR1, 1u << 2);  // URS: UG sets no flag
  t.write(Timer::kPSC, 5);
  t.write(Timer::kEGR, kUg);
  EXPECT_EQ(t.read(Timer::kSR), 0u);
  EXPECT_EQ(t.prescaler(), 5);

  t.write(Timer::kCR1, 1u << 1);  // UDIS: no update at all, but the counter restarts
  t.write(Timer::kPSC, 6);
  t.write(Timer::kCNT, 77);
  t.write(Timer::kEGR, kUg);
  EXPECT_EQ(t.read(Timer::kSR), 0u);
  EXPECT_EQ(t.prescaler(), 5);
  EXPECT_EQ(t.counter(), 0);

  t.write(Timer::kCR1, 1u << 4);  // counting down: restarts from the top
  t.write(Timer::kARR, 900);
  t.write(Timer::kEGR, kUg);
  EXPECT_EQ(t.counter(), 900);
}

TEST(TimerModel, InputCaptureOnChannel3) {
  Timer t;
  t.write(Timer::kCCMR2, 0x0001u);  // CC3 input from TI3
  t.write(Timer::kCCER, 1u << 8);   // enabled, rising edges
  t.write(Timer::kCNT, 1234);
  t.input_edge(3, false);  // wrong edge
  t.input_edge(1, true);   // wrong input
  EXPECT_EQ(t.read(Timer::kSR), 0u);
  t.input_edge(3, true);
  EXPECT_EQ(t.read(Timer::kSR), kCc3);
  t.write(Timer::kCNT, 2000);
  t.input_edge(3, true);  // not read in between: over-capture
  EXPECT_EQ(t.read(Timer::kSR), kCc3 | (kCc3 << 8));
  t.write(Timer::kCCR3, 5);  // read-only in capture mode
  EXPECT_EQ(t.read(Timer::kCCR3), 2000u);
  EXPECT_EQ(t.read(Timer::kSR), kCc3 << 8);  // reading the capture acknowledged it
  t.write(Timer::kCCMR2, 0x0000u);           // direction frozen while the channel is on
  EXPECT_TRUE(t.channel_is_input(3));
}

TEST(TimerModel, InputPrescalerCountsEdges) {
  Timer t;
  t.write(Timer::kCCMR1, 0x0002u | (1u << 2));  // CC1 from TI2, every second edge
  t.write(Timer::kCCER, 0x3u);                  // enabled, falling edges
  t.write(Timer::kCNT, 10);
  t.input_edge(2, false);
  EXPECT_EQ(t.read(Timer::kSR), 0u);
  t.input_edge(2, false);
  EXPECT_EQ(t.read(Timer::kSR), kCc1);
  EXPECT_EQ(t.read(Timer::kCCR1), 10u);
}

TEST(TimerModel, InterruptLineFollowsEnabledFlags) {
  Timer t;
  std::vector<bool> levels;
  t.set_irq_listener([&](bool level) { levels.push_back(level); });
  t.write(Timer::kEGR, kUg | kCc1);
  EXPECT_FALSE(t.irq_line());
  t.write(Timer::kDIER, kCc1);
  EXPECT_TRUE(t.irq_line());
  t.write(Timer::kDIER, kCc1 | kUg);  // still high: no new call
  t.write(Timer::kSR, ~kCc1);
  EXPECT_TRUE(t.irq_line());
  t.write(Timer::kSR, ~kUg);
  EXPECT_FALSE(t.irq_line());
  EXPECT_EQ(levels, (std::vector<bool>{true, false}));
}

}  // namespace
