// The clock rules the chip enforces, each broken on purpose: the flash wait
// states against the system clock, the prefetch buffer's switch, the PLL and
// bus limits; and how they are counted, reported and made strict.
#include "rules.h"

#include <gtest/gtest.h>

#include <string>

#include "bkp.h"
#include "event_queue.h"
#include "exception_model.h"
#include "flash.h"
#include "pwr.h"
#include "rcc.h"
#include "timer.h"

namespace {

using board::clock_tree_problem;
using board::ClockTree;

constexpr uint32_t kCR = board::Rcc::kCR, kCFGR = board::Rcc::kCFGR, kACR = board::FlashCtl::kACR;
constexpr uint32_t kHseOn = 1u << 16, kPllOn = 1u << 24, kPllFromHse = 1u << 16;
constexpr uint32_t kApb1Div2 = 4u << 8, kSwPll = 2;

struct Clocks {
  board::EventQueue events;
  board::Pwr pwr;
  board::Bkp bkp{pwr};
  board::Rcc rcc{bkp};
  board::FlashCtl flash;
  board::Rules rules{events};
  Clocks() {
    rcc.reset();
    rcc.watch(&flash, &rules);
    flash.watch(&rcc, &rules);
  }
  // The crystal, the PLL at `mul` x 8 MHz, `apb1` divider bits, then the switch.
  void pll(uint32_t mul, uint32_t apb1 = kApb1Div2) {
    rcc.write(kCR, rcc.read(kCR) | kHseOn);
    rcc.write(kCFGR, apb1 | kPllFromHse | ((mul - 2) << 18));
    rcc.write(kCR, rcc.read(kCR) | kPllOn);
    rcc.write(kCFGR, rcc.read(kCFGR) | kSwPll);
  }
};

TEST(ClockRules, TheLimitsInWords) {
  EXPECT_EQ(board::flash_latency_needed(24000000), 0u);
  EXPECT_EQ(board::flash_latency_needed(24000001), 1u);
  EXPECT_EQ(board::flash_latency_needed(48000000), 1u);
  EXPECT_EQ(board::flash_latency_needed(72000000), 2u);
  const ClockTree ok{72000000, 72000000, 36000000, 72000000, 72000000};
  EXPECT_EQ(clock_tree_problem(ok, 2), "");
  EXPECT_EQ(clock_tree_problem(ok, 1),
            "FLASH.ACR: LATENCY=1 with SYSCLK at 72 MHz, which needs 2 wait state(s) (the chip reads wrong "
            "instructions and data from the flash)");
  EXPECT_EQ(clock_tree_problem({72000000, 72000000, 72000000, 72000000, 72000000}, 2),
            "RCC.CFGR: APB1 at 72 MHz, above its 36 MHz limit (PPRE1; the APB1 peripherals run "
            "beyond their rating)");
  EXPECT_NE(clock_tree_problem({8000000, 8000000, 8000000, 8000000, 128000000}, 0).find("PLL output 128 MHz"),
            std::string::npos);
  EXPECT_NE(clock_tree_problem({8000000, 8000000, 8000000, 80000000, 0}, 0).find("APB2 at 80 MHz"),
            std::string::npos);
  // More wait states than needed are allowed, as the firmware leaves them after a reset to 8 MHz.
  EXPECT_EQ(clock_tree_problem({8000000, 8000000, 8000000, 8000000, 0}, 2), "");
}

TEST(ClockRules, TheFirmwaresOrderBreaksNothing) {
  Clocks c;
  c.flash.write(kACR, 0x12);  // two wait states first, prefetch kept on
  c.pll(9);
  EXPECT_EQ(c.rcc.sysclk_hz(), 72000000u);
  EXPECT_EQ(c.rules.count(), 0u) << c.rules.first();
  EXPECT_EQ(c.rules.report(), "");
}

TEST(ClockRules, SwitchingTo72MHzWithoutWaitStatesIsReportedOnce) {
  Clocks c;
  c.pll(9);
  ASSERT_EQ(c.rules.count(), 1u);
  EXPECT_EQ(
      c.rules.first(),
      "at 0.000000000 s, FLASH.ACR: LATENCY=0 with SYSCLK at 72 MHz, which needs 2 wait state(s) (the chip "
      "reads wrong instructions and data from the flash)");
  // The same state again is not counted again; wait states set too late still count the
  // time before them.
  c.rcc.write(kCFGR, c.rcc.read(kCFGR));
  EXPECT_EQ(c.rules.count(), 1u);
  c.flash.write(kACR, 0x11);  // one is still too few
  EXPECT_EQ(c.rules.count(), 2u);
  c.flash.write(kACR, 0x12);
  EXPECT_EQ(c.rules.count(), 2u);
  EXPECT_EQ(c.rules.report(),
            "tarvik-sim: 2 hardware rule violation(s), the first: " + c.rules.first() + "\n");
}

TEST(ClockRules, Apb1Above36MHzAndThePllAbove72MHz) {
  Clocks apb1;
  apb1.flash.write(kACR, 0x12);
  apb1.pll(9, 0);  // APB1 undivided
  ASSERT_EQ(apb1.rules.count(), 1u);
  EXPECT_NE(apb1.rules.first().find("APB1 at 72 MHz"), std::string::npos) << apb1.rules.first();

  Clocks pll;
  pll.flash.write(kACR, 0x12);
  pll.rcc.write(kCR, pll.rcc.read(kCR) | kHseOn);
  pll.rcc.write(kCFGR, kApb1Div2 | kPllFromHse | ((16 - 2) << 18));  // 128 MHz
  pll.rcc.write(kCR, pll.rcc.read(kCR) | kPllOn);                    // running, not yet the system clock
  ASSERT_EQ(pll.rules.count(), 1u);
  EXPECT_NE(pll.rules.first().find("PLL output 128 MHz"), std::string::npos) << pll.rules.first();
}

TEST(ClockRules, ThePrefetchBufferSwitchesOnlyAtLowClocksWithHclkUndivided) {
  Clocks c;
  c.flash.write(kACR, 0x02);  // off at 8 MHz: allowed
  c.flash.write(kACR, 0x12);  // and on again
  EXPECT_EQ(c.rules.count(), 0u) << c.rules.first();
  c.pll(9);
  c.flash.write(kACR, 0x02);  // off at 72 MHz
  ASSERT_EQ(c.rules.count(), 1u);
  EXPECT_NE(c.rules.first().find("FLASH.ACR: prefetch buffer switched off with SYSCLK at 72 MHz"),
            std::string::npos)
      << c.rules.first();
  c.flash.write(kACR, 0x02);  // not switched: nothing more
  EXPECT_EQ(c.rules.count(), 1u);

  Clocks divided;
  divided.rcc.write(kCFGR, 8u << 4);  // HCLK = SYSCLK / 2
  divided.flash.write(kACR, 0x00);
  ASSERT_EQ(divided.rules.count(), 1u);
  EXPECT_NE(divided.rules.first().find("and HCLK divided"), std::string::npos) << divided.rules.first();
}

TEST(ClockRules, StrictHandsTheFirstViolationOnOnly) {
  Clocks c;
  std::string halted;
  int calls = 0;
  c.rules.set_strict([&](const std::string& why) {
    halted = why;
    ++calls;
  });
  c.pll(9);
  c.flash.write(kACR, 0x11);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(halted, c.rules.first());
}


// 48 MHz is 1.5 cycles of the board's 72 MHz time base: breaking no rule, it is
// told once per clock as rounded, and what is whole (HCLK / 8, PSC=1) stays exact.
TEST(ClockRounding, A48MHzClockIsToldAsRoundedAndWholeTicksStayExact) {
  Clocks c;
  board::ExceptionModel m{c.events};
  m.watch(&c.rules);
  c.rcc.attach_clock(&c.events, [&](uint32_t hz) { m.set_core_clock(hz); });
  c.rcc.hse_startup = 0;
  board::Timer t{c.events, c.rcc};
  t.watch(&c.rules, "TIM3");
  c.flash.write(kACR, 0x11);
  c.pll(6);  // SYSCLK 48 MHz, APB1 24 MHz, its timers 48 MHz
  EXPECT_EQ(c.rules.count(), 0u) << c.rules.first();
  ASSERT_EQ(c.rules.roundings(), 1u);
  EXPECT_NE(c.rules.rounding_report().find(
                "HCLK at 48 MHz: a SysTick tick on HCLK (CLKSOURCE=1) and the bus bridge's delay is 1.5 board "
                "cycles, counted as 2 (25 % slow)"),
            std::string::npos)
      << c.rules.rounding_report();
  EXPECT_EQ(c.rules.report(), "");  // a rounding is no violation

  EXPECT_EQ(t.tick_cycles(), 2u);
  EXPECT_EQ(c.rules.roundings(), 2u);
  t.write(board::Timer::kPSC, 1);
  t.write(board::Timer::kEGR, 1);
  EXPECT_EQ(t.tick_cycles(), 3u);
  EXPECT_EQ(c.rules.roundings(), 2u);

  // SysTick on HCLK / 8 ticks every 12 board cycles, exactly.
  const board::Cycles start = c.events.now();
  m.write(0x014, 99);  // LOAD
  m.write(0x010, 0x1);
  c.events.advance_to(start + 12 * 10);
  EXPECT_EQ(m.read(0x018), 90u);
}

// An overclocked tree (reported) must still count: a timer clock above 72 MHz
// ticks every board cycle rather than every zero cycles.
TEST(ClockRounding, ATimerClockAbove72MHzStillCounts) {
  Clocks c;
  board::Timer t{c.events, c.rcc};
  t.watch(&c.rules, "TIM3");
  c.flash.write(kACR, 0x12);
  c.pll(16);  // 128 MHz, APB1 64 MHz: timers at 128 MHz
  EXPECT_GE(c.rules.count(), 1u);
  EXPECT_EQ(t.tick_cycles(), 1u);
  t.write(board::Timer::kARR, 999);
  t.write(board::Timer::kCR1, 1);
  c.events.advance_to(c.events.now() + 100);
  EXPECT_EQ(t.read(board::Timer::kCNT), 100u);
}

}  // namespace
