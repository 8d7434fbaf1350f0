#include "cpu.h"

#include <cstdio>
#include <cstdlib>

namespace board {

Cpu::Cpu(EventQueue& events) : ExceptionModel(events) {}

void Cpu::set_handler(int exception, Handler h) { overrides_[exception] = h; }

void Cpu::take_exceptions() {
  for (;;) {
    const int exc = takeable();
    if (exc < 0) return;
    activate(exc);
    events_.advance_to(events_.now() + board_cycles(CpuTiming::kExceptionEntry));
    const Handler h = overrides_[exc] ? overrides_[exc] : (vectors_ ? vectors_[exc] : nullptr);
    if (h == nullptr) {
      std::fprintf(stderr, "tarvik-sim: exception %d has no handler\n", exc);
      std::abort();
    }
    h();
    exception_return();
  }
}

void Cpu::exception_return() {
  deactivate();
  events_.advance_to(events_.now() + board_cycles(CpuTiming::kExceptionReturn));
}

void Cpu::wait_for_event() {
  // A marker (a front end's stop) is passed by: the wait ends as it would without it.
  const uint64_t before = events_.events_run();
  do {
    const Cycles t = events_.next_time();
    if (t == EventQueue::kNever) {
      std::fprintf(stderr, "tarvik-sim: the board waits for an event that can never come\n");
      std::abort();
    }
    events_.advance_to(t);
    events_.run_due();
  } while (events_.events_run() == before);
  if (any_pending()) take_exceptions();
}

void Cpu::busy(Cycles cycles) {
  Cycles left = board_cycles(cycles);
  while (left > 0) {
    const Cycles now = events_.now(), next = events_.next_time();
    const Cycles chunk = next > now ? (next - now < left ? next - now : left) : 0;
    left -= chunk;
    pass(chunk);
  }
}

void Cpu::halt(const char* reason) {
  mark_halted(reason);
  for (;;) wait_for_event();
}

void Cpu::set_basepri(uint32_t v) {
  set_masks(v, primask_);
  step(CpuTiming::kCoreCall);
}

void Cpu::set_primask(uint32_t v) {
  set_masks(basepri_, v);
  step(CpuTiming::kCoreCall);
}

}  // namespace board
