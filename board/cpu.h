// The Cortex-M3 as the simulated board sees it when the firmware's code runs
// natively. Time passes at preemption points (register accesses, kernel calls,
// busy waits). At each one the CPU takes the pending exceptions its current
// priority allows, by the rules of the exception model it is built on, and runs
// their handlers to completion, nested by priority.
#pragma once
#include <cstdint>
#include <string>

#include "event_queue.h"
#include "exception_model.h"
#include "peripheral.h"

namespace board {

// Cycle costs of what the host cannot time (documented estimates).
struct CpuTiming {
  static constexpr Cycles kRegisterAccess = 4;  // load/store to a peripheral over the bus bridge
  static constexpr Cycles kCoreCall = 2;        // MRS/MSR, LDREX/STREX
  static constexpr Cycles kExceptionEntry = 12;
  static constexpr Cycles kExceptionReturn = 12;
};

class Cpu final : public ExceptionModel, public BusMaster {
 public:
  using Handler = void (*)();

  explicit Cpu(EventQueue& events);

  void set_vectors(const Handler* table) { vectors_ = table; }
  // Overrides one handler (tests that need an interrupt of their own).
  void set_handler(int exception, Handler h);

  // A preemption point: `cost` cycles pass, due events run, then pending
  // exceptions are taken.
  // `cost` is in cycles of the core's clock (HCLK).
  void step(Cycles cost) override { pass(board_cycles(cost)); }
  // Time passes until the next event, which runs (a loop that polls or idles).
  void wait_for_event() override;
  // A busy loop of `cycles` of the core; interrupts and task switches go on meanwhile.
  void busy(Cycles cycles);
  void take_exceptions();
  void take_pending() override {
    if (any_pending()) take_exceptions();
  }
  // Unstacks the exception a new context was started from.
  void exception_return();
  [[noreturn]] void halt(const char* reason);

  // Masking registers, written by the firmware: a preemption point each.
  void set_basepri(uint32_t v);
  void set_primask(uint32_t v);

  uint64_t exclusive_stores = 0;  // STREX executed

 private:
  // `board` cycles pass, due events run, pending exceptions are taken.
  void pass(Cycles board) {
    events_.advance_to(events_.now() + board);
    if (events_.next_time() <= events_.now()) events_.run_due();
    if (any_pending()) take_exceptions();
  }
  const Handler* vectors_ = nullptr;
  Handler overrides_[kExceptions] = {};
};

}  // namespace board
