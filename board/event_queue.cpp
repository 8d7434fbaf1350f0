#include "event_queue.h"

#include <algorithm>

namespace board {

void EventQueue::add(Cycles at, int priority, EventFn fn, void* ctx, uint64_t token, bool counted) {
  // Priorities are small numbers; the insertion count takes the next 47 bits,
  // whether the event is counted the lowest.
  const uint64_t order = (static_cast<uint64_t>(static_cast<uint16_t>(priority ^ 0x8000)) << 48) |
                         ((seq_++ << 1) & kSeqMask) | (counted ? 0 : kMarker);
  heap_.push_back(Event{at < now_ ? now_ : at, order, fn, ctx, token});
  std::push_heap(heap_.begin(), heap_.end(), Later{});
}

void EventQueue::schedule(Cycles at, int priority, EventFn fn, void* ctx, uint64_t token) {
  add(at, priority, fn, ctx, token, true);
}

void EventQueue::schedule_marker(Cycles at, int priority, EventFn fn, void* ctx, uint64_t token) {
  add(at, priority, fn, ctx, token, false);
}

int EventQueue::run_due() {
  int ran = 0;
  while (!heap_.empty() && heap_.front().at <= now_) {
    std::pop_heap(heap_.begin(), heap_.end(), Later{});
    const Event e = heap_.back();
    heap_.pop_back();
    running_ = static_cast<int16_t>(static_cast<uint16_t>(e.order >> 48) ^ 0x8000);
    e.fn(e.ctx, e.token);
    running_ = kOutside;
    ++ran;
    if ((e.order & kMarker) == 0) ++ran_;
  }
  return ran;
}

}  // namespace board
