// The firmware's board set-up run on the simulated board: clocks, pins, serial
// lines, timers and interrupt priorities as the registers end up, then the LED
// switch, then the set-up again with a dead crystal.
#include <gtest/gtest.h>

#include <vector>

#include "board.h"
#include "host_core.h"
// The firmware's register names are macros; they come after the board's headers.
#include "drivers/leds/leds.h"
#include "init/board_config.h"
#include "init/system_init.h"
#include "stm32f10x_rcc.h"
#include "stm32f10x_tim.h"

namespace {

using board::Timer;

struct LedStep {
  bool green, blue;             // PA11, PA12 after the call
  uint64_t unclocked_accesses;  // GPIOA accesses made while its clock was off
};

struct Run {
  uint64_t setup_unclocked = 0;
  int tim3_irqs = 0, tim4_irqs = 0;
  std::vector<LedStep> leds;
  // After SystemInit, RCC_Configuration and USART1_Configuration without a crystal.
  uint32_t no_crystal_sysclk = 0, no_crystal_brr = 0, no_crystal_core_clock = 0;
  uint16_t no_crystal_tim3_psc = 0;
} run;

LedStep led_step() {
  board::Board& b = board::the_board();
  return {b.gpioa.level(11), b.gpioa.level(12), b.bus.unclocked_accesses()};
}

void firmware_reset() {
  board::Board& b = board::the_board();
  SystemInit();
  RCC_Configuration();
  NVIC_Configuration();
  GPIO_Configuration();
  USART1_Configuration();
  USART2_Configuration();
  TIMER3_Configuration();
  Encoders_Configuration();
  Keyboard_Configuration();
  run.setup_unclocked = b.bus.unclocked_accesses();
  hostcpu::busy_cycles(1000);  // lets any pending interrupt show

  leds_control(GREEN_LED, OFF);
  run.leds.push_back(led_step());
  leds_control(BLUE_LED, static_cast<ELEDSCONTROL>(7));  // not ON: dark
  run.leds.push_back(led_step());
  leds_control(GREEN_LED, ON);
  run.leds.push_back(led_step());
  // With port A's clock off, any access at all would be counted.
  RCC_APB2PeriphClockCmd(RCC_APB2Periph_GPIOA, DISABLE);
  leds_control(static_cast<ELEDS>(2), ON);
  leds_control(static_cast<ELEDS>(-1), OFF);
  run.leds.push_back(led_step());
  RCC_APB2PeriphClockCmd(RCC_APB2Periph_GPIOA, ENABLE);
  leds_control(BLUE_LED, ON);
  run.leds.push_back(led_step());

  b.rcc.crystal_present = false;
  SystemInit();
  RCC_Configuration();
  USART1_Configuration();
  TIMER3_Configuration();
  run.no_crystal_sysclk = b.rcc.sysclk_hz();
  run.no_crystal_brr = b.usart1.read(board::Usart::kBRR);
  run.no_crystal_core_clock = SystemCoreClock;
  run.no_crystal_tim3_psc = static_cast<uint16_t>(b.tim3.read(Timer::kPSC));
  b.rcc.crystal_present = true;

  // Back to the board's normal state for the register checks.
  SystemInit();
  RCC_Configuration();
  USART1_Configuration();
  hostcpu::halt("set-up done");
}

void tim3_handler() {
  ++run.tim3_irqs;
  TIM_ClearITPendingBit(TIM3, TIM_IT_CC1 | TIM_IT_CC2 | TIM_IT_Update);
}

void tim4_handler() {
  ++run.tim4_irqs;
  TIM_ClearITPendingBit(TIM4, TIM_IT_Update | TIM_IT_CC3);
}

board::Board& booted() {
  static board::Cpu::Handler vectors[board::Cpu::kExceptions];
  static bool done = false;
  board::Board& b = board::the_board();
  if (!done) {
    done = true;
    for (auto& v : vectors) v = [] { hostcpu::halt("unexpected exception"); };
    vectors[board::Cpu::kIrq0 + TIM3_IRQn] = tim3_handler;
    vectors[board::Cpu::kIrq0 + TIM4_IRQn] = tim4_handler;
    b.set_firmware(firmware_reset, vectors);
    b.run_until(board::kCpuHz / 10);  // two crystal waits, one of them for a dead crystal
  }
  return b;
}

TEST(BoardSetup, ClockTreeAndPeripheralClocks) {
  board::Board& b = booted();
  EXPECT_EQ(b.cpu.halt_reason(), "set-up done");
  EXPECT_EQ(SystemCoreClock, 72000000u);
  EXPECT_EQ(b.rcc.sysclk_hz(), 72000000u);
  EXPECT_EQ(b.rcc.pclk1_hz(), 36000000u);
  EXPECT_EQ(b.rcc.pclk2_hz(), 72000000u);
  EXPECT_EQ(b.rcc.timer_clock_hz(true), 72000000u);
  EXPECT_EQ(b.flash.latency(), 2u);
  EXPECT_TRUE(b.flash.prefetch_enabled());
  EXPECT_EQ(b.cpu.read(0xD08), 0x08000000u);  // vector table at the start of flash

  for (uint32_t base : {0x40023000u, 0x40007000u, 0x40006C00u, 0x40000400u, 0x40000800u, 0x40004400u,
                        0x40010000u, 0x40010800u, 0x40010C00u, 0x40011000u, 0x40013800u})
    EXPECT_TRUE(b.rcc.clocked(base)) << std::hex << base;
  EXPECT_TRUE(b.pwr.backup_writable());
  EXPECT_EQ(run.setup_unclocked, 0u) << "a peripheral was used before its clock was on";
}

TEST(BoardSetup, PinsAndLevels) {
  board::Board& b = booted();
  EXPECT_FALSE(b.afio.swd_enabled());
  EXPECT_FALSE(b.afio.jtag_enabled());

  const struct {
    int pin;
    uint8_t mode;
  } port_a[] = {{2, 0xB}, {3, 0x4}, {4, 0x1},  {5, 0x1},  {6, 0xB},
                {7, 0xB}, {9, 0xB}, {10, 0x4}, {11, 0x1}, {12, 0x1}};
  for (const auto& p : port_a) EXPECT_EQ(b.gpioa.mode(p.pin), p.mode) << "PA" << p.pin;
  EXPECT_FALSE(b.gpioa.level(4)) << "RS485 transceiver must listen";
  EXPECT_FALSE(b.gpioa.level(5));
  EXPECT_EQ(b.gpiob.mode(8), 0x4);  // encoder input left floating

  for (int pin : {4, 6, 7}) {
    EXPECT_EQ(b.gpioc.mode(pin), 0x8) << "PC" << pin;
    EXPECT_TRUE(b.gpioc.level(pin)) << "PC" << pin << " pulled up";
  }
  for (int pin : {10, 13}) {
    EXPECT_EQ(b.gpioc.mode(pin), 0x3) << "PC" << pin;
    EXPECT_TRUE(b.gpioc.level(pin)) << "PC" << pin;
  }
}

TEST(BoardSetup, SerialLines) {
  board::Board& b = booted();
  EXPECT_EQ(b.usart1.read(board::Usart::kBRR), 0x271u);
  EXPECT_EQ(b.usart2.read(board::Usart::kBRR), 0x138u);
  for (board::Usart* u : {&b.usart1, &b.usart2}) {
    EXPECT_EQ(u->read(board::Usart::kCR1), 0x200Cu);  // enabled, transmit and receive, 8N1
    EXPECT_EQ(u->read(board::Usart::kCR2), 0u);
    EXPECT_EQ(u->read(board::Usart::kCR3), 0u);
  }
}

TEST(BoardSetup, MotorTimer) {
  Timer& t = booted().tim3;
  EXPECT_FALSE(t.counting());
  EXPECT_EQ(t.read(Timer::kPSC), 6u);
  EXPECT_EQ(t.prescaler(), 6);  // loaded by the set-up's update event
  EXPECT_EQ(t.read(Timer::kARR), 1000u);
  EXPECT_EQ(t.read(Timer::kCR1), 0x80u);      // auto-reload preload, counting up
  EXPECT_EQ(t.read(Timer::kCCMR1), 0x6868u);  // PWM mode 1 with preload on both channels
  EXPECT_EQ(t.read(Timer::kCCER), 0x0011u);
  EXPECT_EQ(t.read(Timer::kCCR1), 1000u);
  EXPECT_EQ(t.read(Timer::kCCR2), 1000u);
  EXPECT_EQ(t.compare(1), 1000);
  EXPECT_EQ(t.read(Timer::kDIER), 0x0006u);
  EXPECT_EQ(run.tim3_irqs, 0);  // the set-up's update event raises no compare flag
}

TEST(BoardSetup, EncoderTimer) {
  Timer& t = booted().tim4;
  EXPECT_FALSE(t.counting());  // main starts it
  EXPECT_EQ(t.read(Timer::kPSC), 719u);
  EXPECT_EQ(t.read(Timer::kARR), 0x3FFFu);
  EXPECT_EQ(t.read(Timer::kCR1), 0x80u);
  EXPECT_EQ(t.read(Timer::kCCMR2), 0x0001u);  // channel 3 from TI3, no prescaler, no filter
  EXPECT_EQ(t.read(Timer::kCCER), 0x0100u);   // rising edges
  EXPECT_EQ(t.read(Timer::kDIER), 0x0009u);
}

TEST(BoardSetup, MotorInterruptsLieAboveTheKernelCeiling) {
  board::Board& b = booted();
  EXPECT_EQ(b.cpu.read(0xD0C) & 0x700u, 0x300u);  // all priority bits pre-empt
  for (int irq : {TIM3_IRQn, TIM4_IRQn}) {
    EXPECT_TRUE(b.cpu.irq_enabled(irq));
    EXPECT_EQ(b.cpu.priority(board::Cpu::kIrq0 + irq), 0x60);
  }
  EXPECT_FALSE(b.cpu.irq_enabled(USART1_IRQn));
}

TEST(BoardSetup, LedSwitch) {
  booted();
  ASSERT_EQ(run.leds.size(), 5u);
  const uint64_t before = run.setup_unclocked;
  EXPECT_TRUE(run.leds[0].green);   // green OFF: dark, pin high
  EXPECT_FALSE(run.leds[0].blue);   // blue still lit from set-up
  EXPECT_TRUE(run.leds[1].blue);    // any flag but ON darkens
  EXPECT_FALSE(run.leds[2].green);  // green ON: pin low
  EXPECT_EQ(run.leds[3].unclocked_accesses, before) << "an unknown LED touched port A";
  EXPECT_FALSE(run.leds[4].blue);
  EXPECT_FALSE(run.leds[4].green);
}

TEST(BoardSetup, DeadCrystalKeepsTheInternalClockAndTheBaudRate) {
  booted();
  EXPECT_EQ(run.no_crystal_sysclk, 8000000u);
  EXPECT_EQ(run.no_crystal_core_clock, 72000000u);
  EXPECT_EQ(run.no_crystal_tim3_psc, 6u);  // computed for 72 MHz all the same
  EXPECT_EQ(run.no_crystal_brr, 0x045u);   // USART1 divides the real 8 MHz
}

}  // namespace
