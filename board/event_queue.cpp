#include "event_queue.h"

#include <algorithm>

namespace board {

bool EventQueue::later(const Event& a, const Event& b) {
  if (a.at != b.at) return a.at > b.at;
  if (a.priority != b.priority) return a.priority > b.priority;
  return a.seq > b.seq;
}

void EventQueue::schedule(Cycles at, int priority, EventFn fn, void* ctx, uint64_t token) {
  heap_.push_back(Event{at < now_ ? now_ : at, priority, seq_++, fn, ctx, token});
  std::push_heap(heap_.begin(), heap_.end(), later);
}

int EventQueue::run_due() {
  int ran = 0;
  while (!heap_.empty() && heap_.front().at <= now_) {
    std::pop_heap(heap_.begin(), heap_.end(), later);
    const Event e = heap_.back();
    heap_.pop_back();
    e.fn(e.ctx, e.token);
    ++ran;
    ++ran_;
  }
  return ran;
}

}  // namespace board
