// The timer model counting in virtual time: counter from time, preload at the
// update, compare and capture flags, events only for enabled interrupts.
#include "timer.h"

#include <gtest/gtest.h>

#include "bkp.h"
#include "event_queue.h"
#include "pwr.h"
#include "rcc.h"

namespace {

using board::Timer;

struct TimerFixture : ::testing::Test {
  board::EventQueue events;
  board::Pwr pwr;
  board::Bkp bkp{pwr};
  board::Rcc rcc{bkp};
  Timer t{events, rcc};
  int irq_edges = 0;

  void SetUp() override {
    // 72 MHz from the PLL, APB1 halved: the timers count at 72 MHz.
    rcc.write(board::Rcc::kCR, 0x00010081);
    rcc.write(board::Rcc::kCFGR, 0x001D0400);
    rcc.write(board::Rcc::kCR, 0x01010081);
    rcc.write(board::Rcc::kCFGR, 0x001D0402);
    t.set_irq_listener([this](bool high) { irq_edges += high; });
  }
  void at(board::Cycles c) {
    events.advance_to(c);
    events.run_due();
  }
  // PWM mode 1 with preload on channels 1 and 2, as the motor timer is set up.
  void pwm(uint16_t psc, uint16_t arr, uint16_t ccr1, uint16_t ccr2) {
    t.write(Timer::kPSC, psc);
    t.write(Timer::kARR, arr);
    t.write(Timer::kCCMR1, 0x6868);
    t.write(Timer::kCCER, 0x11);
    t.write(Timer::kCCR1, ccr1);
    t.write(Timer::kCCR2, ccr2);
    t.write(Timer::kCR1, 0x80);  // ARPE
    t.write(Timer::kEGR, 1);     // load the preloads
    t.write(Timer::kSR, 0);
  }
};

TEST_F(TimerFixture, CounterFollowsTimeAndWrapsAtTheReload) {
  pwm(6, 999, 250, 999);
  EXPECT_EQ(t.read(Timer::kCNT), 0u);
  t.write(Timer::kCR1, 0x81);
  at(7 * 500 + 3);
  EXPECT_EQ(t.read(Timer::kCNT), 500u);
  EXPECT_EQ(t.read(Timer::kSR) & 0x3u, 0x2u);  // CC1 matched at 250, no update yet
  at(7 * 1000 + 7 * 10);
  EXPECT_EQ(t.read(Timer::kCNT), 10u);
  EXPECT_EQ(t.read(Timer::kSR) & 0x7u, 0x7u);  // update, CC1, CC2
  t.write(Timer::kCR1, 0x80);                  // stopped: the count stands
  at(100000);
  EXPECT_EQ(t.read(Timer::kCNT), 10u);
  EXPECT_TRUE(events.empty());  // no interrupt enabled: nothing scheduled
}

TEST_F(TimerFixture, PreloadedValuesTakeEffectAtTheUpdate) {
  pwm(6, 999, 250, 999);
  t.write(Timer::kCR1, 0x81);
  at(7 * 100);
  t.write(Timer::kARR, 499);
  t.write(Timer::kCCR1, 100);
  EXPECT_EQ(t.autoreload(), 999);
  EXPECT_EQ(t.compare(1), 250);
  at(7 * 1000);  // the wrap
  EXPECT_EQ(t.read(Timer::kCNT), 0u);
  EXPECT_EQ(t.autoreload(), 499);
  EXPECT_EQ(t.compare(1), 100);
  at(7 * 1000 + 7 * 500);  // one period of the new length later
  EXPECT_EQ(t.read(Timer::kCNT), 0u);
}

TEST_F(TimerFixture, CompareInterruptRisesAtTheMatchOnlyWhenEnabled) {
  pwm(6, 999, 250, 999);
  t.write(Timer::kDIER, 0x2);  // CC1 only
  t.write(Timer::kCR1, 0x81);
  EXPECT_EQ(events.next_time(), 7u * 250);
  at(7 * 250 - 1);
  EXPECT_EQ(irq_edges, 0);
  at(7 * 250);
  EXPECT_EQ(irq_edges, 1);
  EXPECT_TRUE(t.irq_line());
  t.write(Timer::kSR, ~0x2u);  // the handler clears its flag
  EXPECT_FALSE(t.irq_line());
  at(7 * 1000 + 7 * 250);  // the next period's match
  EXPECT_EQ(irq_edges, 2);
  t.write(Timer::kSR, 0);
  t.write(Timer::kCCR1, 2000);  // above the period: never matches again
  at(7 * 3000);
  EXPECT_EQ(irq_edges, 2);
}

TEST_F(TimerFixture, CaptureLatchesTheCountAndFlagsOvercapture) {
  t.write(Timer::kPSC, 719);
  t.write(Timer::kARR, 0x3FFF);
  t.write(Timer::kCCMR2, 0x01);  // channel 3 input from TI3
  t.write(Timer::kCCER, 0x100);
  t.write(Timer::kEGR, 1);
  t.write(Timer::kSR, 0);
  t.write(Timer::kCR1, 0x81);
  at(720 * 1234 + 5);
  t.input_edge(3, true);
  t.input_edge(3, false);  // falling edges are not captured
  EXPECT_EQ(t.read(Timer::kSR) & 0x8u, 0x8u);
  at(720 * 2000);
  t.input_edge(3, true);
  EXPECT_EQ(t.read(Timer::kSR) & 0x808u, 0x808u);  // the first capture was never read
  EXPECT_EQ(t.read(Timer::kCCR3), 2000u);
  EXPECT_EQ(t.read(Timer::kSR) & 0x8u, 0u);  // reading the capture acknowledges it
}

TEST_F(TimerFixture, PwmShareOfThePeriod) {
  pwm(6, 999, 250, 999);
  t.write(Timer::kCR1, 0x81);
  EXPECT_DOUBLE_EQ(t.high_fraction(1), 250.0 / 1000);
  EXPECT_DOUBLE_EQ(t.high_fraction(2), 999.0 / 1000);
  t.write(Timer::kCCMR1, 0x6858);  // channel 1 forced active
  EXPECT_DOUBLE_EQ(t.high_fraction(1), 1.0);
  t.write(Timer::kCCER, 0x10);  // channel 1 output off
  EXPECT_DOUBLE_EQ(t.high_fraction(1), 0.0);
}

// RM0008: the counter is blocked while the auto-reload value is null. With
// ARPE the zero loads at an update, and a later value waits in the preload
// register for one, which only UG can make.
TEST_F(TimerFixture, ANullAutoReloadBlocksTheCounterUntilUgLoadsAnother) {
  pwm(6, 999, 250, 999);
  t.write(Timer::kDIER, 0x3);  // update and CC1
  t.write(Timer::kCR1, 0x81);
  at(7 * 300);
  t.write(Timer::kSR, 0);
  t.write(Timer::kARR, 0);
  EXPECT_EQ(t.autoreload(), 999);  // this period runs to its end
  at(7 * 1000);
  EXPECT_EQ(t.autoreload(), 0);
  EXPECT_TRUE(t.blocked());
  EXPECT_EQ(t.read(Timer::kSR) & 0x3u, 0x1u);  // the update that loaded it
  t.write(Timer::kSR, 0);
  const int edges = irq_edges;
  at(7 * 100000);
  EXPECT_EQ(t.read(Timer::kCNT), 0u);
  EXPECT_EQ(t.read(Timer::kSR) & 0x7u, 0u);  // no update, no match
  EXPECT_EQ(irq_edges, edges);
  EXPECT_TRUE(events.empty());
  EXPECT_DOUBLE_EQ(t.high_fraction(1), 1.0);  // standing at 0, below CCR1: active
  EXPECT_DOUBLE_EQ(t.high_fraction(2), 1.0);
  t.write(Timer::kARR, 499);
  at(7 * 200000);
  EXPECT_EQ(t.autoreload(), 0);
  EXPECT_EQ(t.read(Timer::kCNT), 0u);
  EXPECT_TRUE(events.empty());
  t.write(Timer::kEGR, 1);
  t.write(Timer::kSR, 0);
  EXPECT_EQ(t.autoreload(), 499);
  at(7 * 200000 + 7 * 250);
  EXPECT_EQ(t.read(Timer::kSR) & 0x3u, 0x2u);
  at(7 * 200000 + 7 * 500);
  EXPECT_EQ(t.read(Timer::kSR) & 0x3u, 0x3u);
  EXPECT_EQ(t.read(Timer::kCNT), 0u);
  EXPECT_EQ(irq_edges, edges + 2);  // UG's update, then the match (the line stayed high to the wrap)
  EXPECT_DOUBLE_EQ(t.high_fraction(1), 250.0 / 500);
}

}  // namespace

// The model skips the work of settling between the matches it expects; every
// change that moves a match must still be seen before the old one was due.
struct LiveSettings : TimerFixture {
  // No preload anywhere: writes take effect at once.
  void start(uint16_t arr, uint16_t ccr1) {
    t.write(Timer::kPSC, 6);
    t.write(Timer::kARR, arr);
    t.write(Timer::kCCMR1, 0x0060);  // channel 1 PWM mode 1, no OC1PE
    t.write(Timer::kCCR1, ccr1);
    t.write(Timer::kEGR, 1);
    t.write(Timer::kSR, 0);
    t.write(Timer::kCR1, 0x01);
  }
  uint32_t flags_at(board::Cycles c) {
    at(c);
    return t.read(Timer::kSR) & 0x3u;
  }
};

TEST_F(LiveSettings, MatchesMovedAfterTheTimerWasLastTouchedRiseWhereTheyNowAre) {
  start(999, 800);
  EXPECT_EQ(flags_at(7 * 100), 0u);  // next match at 800
  t.write(Timer::kCCR1, 300);
  EXPECT_EQ(flags_at(7 * 300 - 1), 0u);
  EXPECT_EQ(flags_at(7 * 300), 0x2u);
  t.write(Timer::kSR, 0);
  t.write(Timer::kARR, 399);  // the wrap moves from 1000 to 400
  EXPECT_EQ(flags_at(7 * 400 - 1), 0u);
  EXPECT_EQ(flags_at(7 * 400), 0x1u);
  t.write(Timer::kSR, 0);
  t.write(Timer::kCCMR1, 0x0001);  // channel 1 turns to capture: no compare match
  EXPECT_EQ(flags_at(7 * 400 + 7 * 300), 0u);
  t.write(Timer::kCCMR1, 0x0060);  // and back
  EXPECT_EQ(flags_at(7 * 800 + 7 * 300), 0x3u);
}

TEST_F(LiveSettings, ATimerClockChangeTakesEffectAtOnce) {
  // APB1 divided by 4: the timers count at 36 MHz, two cycles of 72 MHz a tick.
  rcc.write(board::Rcc::kCFGR, 0x001D0502);
  start(999, 250);
  EXPECT_EQ(t.tick_cycles(), 14u);
  EXPECT_EQ(flags_at(100), 0u);              // next match at 250 ticks, cycle 3500
  rcc.write(board::Rcc::kCFGR, 0x001D0402);  // back to 72 MHz
  EXPECT_EQ(t.tick_cycles(), 7u);
  EXPECT_EQ(flags_at(7 * 250), 0x2u);
}

// Without preload a null auto-reload takes effect at once: the count stands
// where it was, and a non-zero one lets it go on from there.
TEST_F(LiveSettings, WithoutPreloadANullAutoReloadStopsTheCountWhereItStands) {
  start(999, 800);
  t.write(Timer::kDIER, 0x1);
  at(7 * 300);
  t.write(Timer::kARR, 0);
  at(7 * 5000);
  EXPECT_EQ(t.read(Timer::kCNT), 300u);
  EXPECT_EQ(t.read(Timer::kSR) & 0x3u, 0u);
  EXPECT_TRUE(events.empty());
  t.write(Timer::kARR, 399);
  EXPECT_EQ(flags_at(7 * 5000 + 7 * 99), 0u);
  EXPECT_EQ(t.read(Timer::kCNT), 399u);
  EXPECT_EQ(flags_at(7 * 5000 + 7 * 100), 0x1u);
  EXPECT_EQ(t.read(Timer::kCNT), 0u);
}
