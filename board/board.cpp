#include "board.h"

#include <cstdio>
#include <cstdlib>

#include "host_core.h"
#include "host_register.h"

namespace board {

namespace {

constexpr size_t kMainStackBytes = 256 * 1024;
constexpr int kStopPriority = 1000;  // after everything else due at the same time

}  // namespace

Board::Board() {
  rcc.watch(&flash, &rules);
  flash.watch(&rcc, &rules);
  cpu.watch(&rules);
  tim3.watch(&rules, "TIM3");
  tim4.watch(&rules, "TIM4");
  // The core and SysTick run at HCLK, as the clock tree is set.
  rcc.attach_clock(&events, [this](uint32_t hclk_hz) { cpu.set_core_clock(hclk_hz); });
  usart1.wire(&gpioa, 9, 10, "USART1", &rules);
  usart2.wire(&gpioa, 2, 3, "USART2", &rules);
  bus.attach(Addresses::kTim3, 0x400, &tim3);
  bus.attach(Addresses::kTim4, 0x400, &tim4);
  bus.attach(Addresses::kUsart2, 0x400, &usart2);
  bus.attach(Addresses::kBkp, 0x400, &bkp);
  bus.attach(Addresses::kPwr, 0x400, &pwr);
  bus.attach(Addresses::kAfio, 0x400, &afio);
  bus.attach(Addresses::kGpioA, 0x400, &gpioa);
  bus.attach(Addresses::kGpioB, 0x400, &gpiob);
  bus.attach(Addresses::kGpioC, 0x400, &gpioc);
  bus.attach(Addresses::kUsart1, 0x400, &usart1);
  bus.attach(Addresses::kRcc, 0x400, &rcc);
  bus.attach(Addresses::kFlash, 0x400, &flash);
  bus.attach(Addresses::kCrc, 0x400, &crc);
  bus.attach(Addresses::kCore, 0x1000, &cpu);
  tim3.set_irq_listener([this](bool high) { cpu.set_irq_line(kTim3Irq, high); });
  tim4.set_irq_listener([this](bool high) { cpu.set_irq_line(kTim4Irq, high); });
}

void Board::set_firmware(void (*reset)(), const Cpu::Handler* vectors) {
  reset_ = reset;
  cpu.set_vectors(vectors);
}

void Board::set_reset(void (*entry)(void*), void* ctx, void (*restart)(void*)) {
  reset_entry_ = entry;
  reset_ctx_ = ctx;
  reset_restart_ = restart;
}

void Board::main_entry(void* self) {
  auto* b = static_cast<Board*>(self);
  if (b->reset_entry_ != nullptr)
    b->reset_entry_(b->reset_ctx_);
  else
    b->reset_();
}

void Board::stop_event(void* self, uint64_t token) {
  auto* b = static_cast<Board*>(self);
  if (token != b->stop_token_) return;
  b->resume_ = Fiber::current();
  Fiber::switch_to(Fiber::host());
}

void Board::run_until(Cycles t) {
  if (main_context_ == nullptr) {
    main_context_ = Fiber::create(main_entry, this, kMainStackBytes);
    resume_ = main_context_;
  }
  events.schedule_marker(t, kStopPriority, stop_event, this, ++stop_token_);
  Fiber::switch_to(resume_);
}

void Board::stop_now() { events.schedule_marker(now(), kStopPriority, stop_event, this, stop_token_); }

void Board::halt(const std::string& why) {
  // The host firmware's own context parks in the CPU model; an emulated core
  // and the board's side see the mark and stop.
  if (reset_entry_ == nullptr && Fiber::current() != Fiber::host()) cpu.halt(why.c_str());
  cpu.mark_halted(why);
}

void Board::reset() {
  const bool in_place = Fiber::current() != Fiber::host();
  if (in_place && (reset_restart_ == nullptr || Fiber::current() != main_context_)) {
    std::fprintf(stderr, "tarvik-sim: the board can only be reset while its run is stopped\n");
    std::abort();
  }
  // Peripherals before the core: their interrupt lines fall while the NVIC still
  // listens, then the NVIC forgets what they had pended.
  tim3.reset();
  tim4.reset();
  usart1.reset();
  usart2.reset();
  gpioa.reset();
  gpiob.reset();
  gpioc.reset();
  afio.reset();
  flash.reset();
  crc.reset();
  pwr.reset();
  rcc.system_reset();
  cpu.reset();
  // The code starts over from the reset vector; what ran before never resumes.
  if (!in_place) {
    Fiber::destroy_all();
    main_context_ = nullptr;
    resume_ = nullptr;
  }
  if (reset_restart_ != nullptr) reset_restart_(reset_ctx_);
  ++resets_;
  for (const auto& fn : reset_listeners_) fn();
}

Board& the_board() {
  static Board* b = new Board();  // lives as long as the process: firmware contexts may still refer to it
  return *b;
}

}  // namespace board

// --- the firmware's view of the board ---------------------------------------------

namespace hostbus {

alignas(8) unsigned char window[kPeriphSize + kCoreSize];

uint32_t read32(uint32_t addr) { return board::the_board().bus.read32(addr); }
void write32(uint32_t addr, uint32_t value) { board::the_board().bus.write32(addr, value); }
uint8_t read8(uint32_t addr) { return board::the_board().bus.read8(addr); }
void write8(uint32_t addr, uint8_t value) { board::the_board().bus.write8(addr, value); }

}  // namespace hostbus

namespace hostcpu {

using board::CpuTiming;

uint32_t get_basepri() {
  board::the_board().cpu.step(CpuTiming::kCoreCall);
  return board::the_board().cpu.basepri();
}
void set_basepri(uint32_t value) { board::the_board().cpu.set_basepri(value); }
uint32_t get_primask() {
  board::the_board().cpu.step(CpuTiming::kCoreCall);
  return board::the_board().cpu.primask();
}
void set_primask(uint32_t value) { board::the_board().cpu.set_primask(value); }

// Interrupts run only at preemption points, and there is none between these two,
// so the exclusive store always succeeds.
uint32_t ldrex(volatile uint32_t* addr) {
  board::the_board().cpu.step(CpuTiming::kCoreCall);
  return *addr;
}
uint32_t strex(uint32_t value, volatile uint32_t* addr) {
  ++board::the_board().cpu.exclusive_stores;
  *addr = value;
  return 0;
}

void svc() {
  board::Cpu& cpu = board::the_board().cpu;
  cpu.set_pending(board::Cpu::kSvc);
  cpu.step(CpuTiming::kCoreCall);
}
void exception_return() { board::the_board().cpu.exception_return(); }
void busy_cycles(uint64_t cycles) { board::the_board().cpu.busy(cycles); }
void spin() { board::the_board().cpu.wait_for_event(); }
void halt(const char* reason) { board::the_board().cpu.halt(reason); }

}  // namespace hostcpu
