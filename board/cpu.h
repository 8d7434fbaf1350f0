// The Cortex-M3 as the simulated board sees it. Firmware code runs natively; time
// passes at preemption points (register accesses, kernel calls, busy waits). At each
// one the CPU takes the pending exceptions its current priority allows, Cortex-M
// style, and runs their handlers to completion, nested by priority.
#pragma once
#include <cstdint>
#include <string>

#include "event_queue.h"
#include "peripheral.h"

namespace board {

// Cycle costs of what the host cannot time (documented estimates).
struct CpuTiming {
  static constexpr Cycles kRegisterAccess = 4;  // load/store to a peripheral over the bus bridge
  static constexpr Cycles kCoreCall = 2;        // MRS/MSR, LDREX/STREX
  static constexpr Cycles kExceptionEntry = 12;
  static constexpr Cycles kExceptionReturn = 12;
};

class Cpu : public Peripheral {
 public:
  using Handler = void (*)();
  static constexpr int kExceptions = 16 + 68;  // STM32F103 medium density
  static constexpr int kSvc = 11, kPendSv = 14, kSysTick = 15, kIrq0 = 16;
  static constexpr uint8_t kPriorityMask = 0xF0;  // four implemented priority bits

  explicit Cpu(EventQueue& events);

  void set_vectors(const Handler* table) { vectors_ = table; }
  // Overrides one handler (tests that need an interrupt of their own).
  void set_handler(int exception, Handler h);

  // A preemption point: `cost` cycles pass, due events run, then pending
  // exceptions are taken.
  void step(Cycles cost) {
    events_.advance_to(events_.now() + cost);
    if (events_.next_time() <= events_.now()) events_.run_due();
    if (pending_ != 0) take_exceptions();
  }
  // Time passes until the next event, which runs (a loop that polls or idles).
  void wait_for_event();
  // A busy loop of `cycles`; interrupts and task switches go on meanwhile.
  void busy(Cycles cycles);
  void take_exceptions();
  void take_pending() {
    if (pending_ != 0) take_exceptions();
  }
  // Unstacks the exception a new context was started from.
  void exception_return();
  [[noreturn]] void halt(const char* reason);

  // Masking registers.
  uint32_t basepri() const { return basepri_; }
  void set_basepri(uint32_t v);
  uint32_t primask() const { return primask_; }
  void set_primask(uint32_t v);

  // Pending state, as the NVIC and SCB hold it.
  void set_pending(int exception);
  // A peripheral's interrupt request line (level-sensitive, as on the NVIC): a
  // rising line pends the interrupt, and a line still high when its handler
  // returns pends it again.
  void set_irq_line(int irq, bool high);
  void clear_pending(int exception);
  bool is_pending(int exception) const;
  bool is_active(int exception) const;
  bool irq_enabled(int irq) const { return (iser_[irq / 32] >> (irq % 32)) & 1u; }
  int priority(int exception) const;
  int execution_priority() const;
  int active_exception() const { return depth_ ? active_[depth_ - 1] : 0; }

  bool halted() const { return halted_; }
  const std::string& halt_reason() const { return halt_reason_; }
  uint64_t exceptions_taken(int exception) const { return taken_[exception]; }
  uint64_t exclusive_stores = 0;  // STREX executed

  // The core registers (NVIC, SysTick, SCB) at 0xE000E000 + offset.
  uint32_t read(uint32_t offset) override;
  void write(uint32_t offset, uint32_t value) override;
  uint8_t read8(uint32_t offset);
  void write8(uint32_t offset, uint8_t value);
  bool stable(uint32_t offset) const override { return offset != kSysTickVal; }

 private:
  static constexpr uint32_t kSysTickCtrl = 0x010, kSysTickLoad = 0x014, kSysTickVal = 0x018;
  int group(int prio) const;
  int best_pending() const;
  void recount_pending();
  void systick_restart();
  static void systick_event(void* ctx, uint64_t token);
  Cycles systick_period() const;

  EventQueue& events_;
  const Handler* vectors_ = nullptr;
  Handler overrides_[kExceptions] = {};

  // NVIC
  uint32_t iser_[3] = {};
  uint32_t ispr_[3] = {};
  uint8_t ip_[68] = {};
  // SCB
  uint8_t shp_[12] = {};
  uint32_t prigroup_ = 0;
  uint32_t vtor_ = 0;
  bool pendsv_ = false, systick_pend_ = false, svc_pend_ = false;
  // SysTick
  uint32_t st_ctrl_ = 0, st_load_ = 0;
  Cycles st_start_ = 0;
  uint64_t st_token_ = 0;

  uint32_t basepri_ = 0, primask_ = 0;
  uint32_t lines_[3] = {};
  int active_[kExceptions] = {};
  int depth_ = 0;
  int pending_ = 0;  // number of pending exceptions, masked or not
  uint64_t taken_[kExceptions] = {};
  bool halted_ = false;
  std::string halt_reason_;
};

}  // namespace board
