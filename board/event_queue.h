// Virtual time and the board's events, ordered by time, then priority, then
// insertion. A source cancels an event by changing the token it expects.
#pragma once
#include <cstdint>
#include <vector>

#include "peripheral.h"

namespace board {

using EventFn = void (*)(void* ctx, uint64_t token);

class EventQueue {
 public:
  Cycles now() const { return now_; }
  Cycles next_time() const { return heap_.empty() ? kNever : heap_.front().at; }
  bool empty() const { return heap_.empty(); }

  // `priority` orders events due at the same cycle, lowest first (-32768 to 32767).
  void schedule(Cycles at, int priority, EventFn fn, void* ctx, uint64_t token = 0);
  // An event that changes nothing on the board (the end of a slice of a run):
  // not counted in events_run(), so that a loop polling a register or waiting
  // for an event goes on as if it were not there, wherever a front end stops.
  void schedule_marker(Cycles at, int priority, EventFn fn, void* ctx, uint64_t token = 0);

  // Moves time forward to `t` (never back) without running events.
  void advance_to(Cycles t) {
    if (t > now_) now_ = t;
  }
  // Runs every event due at the current time; returns how many ran.
  int run_due();
  // A marker that did change the board after all (a byte it delivered) counts.
  void note_change() { ++ran_; }
  // Events run so far, markers not counted.
  uint64_t events_run() const { return ran_; }
  // The priority of the event running now, or kOutside between events (a
  // recorded input is replayed at the same place in the order).
  int running_priority() const { return running_; }
  static constexpr int kOutside = 32767;

  void clear() {
    heap_.clear();
    now_ = 0;
  }

  static constexpr Cycles kNever = ~Cycles{0};

 private:
  struct Event {
    Cycles at;
    uint64_t order;  // priority, then insertion: one comparison for both; kMarker in the lowest bit
    EventFn fn;
    void* ctx;
    uint64_t token;
  };
  struct Later {
    bool operator()(const Event& a, const Event& b) const {
      return a.at != b.at ? a.at > b.at : a.order > b.order;
    }
  };
  void add(Cycles at, int priority, EventFn fn, void* ctx, uint64_t token, bool counted);
  std::vector<Event> heap_;
  Cycles now_ = 0;
  static constexpr uint64_t kSeqMask = (uint64_t{1} << 48) - 1;
  static constexpr uint64_t kMarker = 1;  // kept in the key, so that an event stays 40 bytes
  uint64_t seq_ = 0;
  uint64_t ran_ = 0;
  int running_ = kOutside;
};

}  // namespace board
