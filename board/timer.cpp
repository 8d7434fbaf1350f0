#include "timer.h"

#include <algorithm>
#include <cstdio>

#include "rcc.h"
#include "rules.h"

namespace board {

namespace {

constexpr uint32_t kCr1Stored = 0x3FFu;
constexpr uint32_t kCr2Stored = 0xF8u;
constexpr uint32_t kSmcrStored = 0xFFF7u;
constexpr uint32_t kDierStored = 0x5F5Fu;
constexpr uint32_t kSrStored = 0x1E5Fu;
constexpr uint32_t kCcerStored = 0x3333u;
constexpr uint32_t kDcrStored = 0x1F1Fu;
constexpr uint32_t kEgrUg = 1u << 0, kEgrTg = 1u << 6;

// Per channel, in its byte of CCMRx.
constexpr uint32_t kCcs = 0x3u, kOcpe = 1u << 3;
constexpr uint32_t kCcsOutput = 0, kCcsDirect = 1, kCcsIndirect = 2;

}  // namespace

uint8_t Timer::oc_mode(int ch) const {
  if (!valid(ch) || channel_is_input(ch)) return 0;
  return static_cast<uint8_t>((ccmr_of(ch) >> 4) & 0x7u);
}

bool Timer::channel_is_input(int ch) const { return valid(ch) && (ccmr_of(ch) & kCcs) != kCcsOutput; }

uint32_t Timer::peek(uint32_t offset) {
  if (offset >= kCCR1 && offset <= kCCR4 && offset % 4 == 0) return ccr_[(offset - kCCR1) / 4];
  if (offset == kDMAR) {
    const uint32_t target = (dcr_ & 0x1Fu) * 4;
    return target == kDMAR ? 0 : peek(target);
  }
  return read(offset);
}

uint32_t Timer::read(uint32_t offset) {
  settle(now());
  if (offset >= kCCR1 && offset <= kCCR4 && offset % 4 == 0) {
    const int ch = static_cast<int>((offset - kCCR1) / 4) + 1;
    if (channel_is_input(ch)) {
      sr_ &= ~cc_flag(ch);  // reading the captured value acknowledges it
      irq_check();
    }
    return ccr_[ch - 1];
  }
  switch (offset) {
    case kCR1:
      return cr1_;
    case kCR2:
      return cr2_;
    case kSMCR:
      return smcr_;
    case kDIER:
      return dier_;
    case kSR:
      return sr_;
    case kCCMR1:
      return ccmr1_;
    case kCCMR2:
      return ccmr2_;
    case kCCER:
      return ccer_;
    case kCNT:
      return count_at(now());
    case kPSC:
      return psc_;
    case kARR:
      return arr_;
    case kDCR:
      return dcr_;
    case kDMAR: {
      const uint32_t target = (dcr_ & 0x1Fu) * 4;
      return target == kDMAR ? 0 : read(target);
    }
    default:
      return 0;  // EGR is write-only; RCR and BDTR exist on the advanced timers only
  }
}

void Timer::write(uint32_t offset, uint32_t value) {
  const Cycles t = now();
  settle(t);
  if (offset >= kCCR1 && offset <= kCCR4 && offset % 4 == 0) {
    const int ch = static_cast<int>((offset - kCCR1) / 4) + 1;
    if (!channel_is_input(ch)) {  // the captured value is read-only
      ccr_[ch - 1] = static_cast<uint16_t>(value);
      if ((ccmr_of(ch) & kOcpe) == 0) {
        ccr_active_[ch - 1] = ccr_[ch - 1];
        quiet_until_ = 0;
      }
    }
  } else {
    write_register(offset, value, t);
  }
  irq_check();
  reschedule();
  for (const auto& fn : write_listeners_) fn(offset, value);
}

void Timer::write_register(uint32_t offset, uint32_t value, Cycles t) {
  switch (offset) {
    case kCR1: {
      const bool was = counting();
      if (was && !(value & kCen)) cnt_ = count_at(t);
      cr1_ = value & kCr1Stored;
      if (!was && counting()) start_counting(t);
      quiet_until_ = 0;
      break;
    }
    case kCR2:
      cr2_ = value & kCr2Stored;
      break;
    case kSMCR:
      smcr_ = value & kSmcrStored;
      break;
    case kDIER:
      dier_ = value & kDierStored;
      break;
    case kSR:
      sr_ &= value | ~kSrStored;
      break;
    case kEGR:
      generate(value);
      break;
    case kCCMR1:
      write_ccmr(ccmr1_, value, 1);
      break;
    case kCCMR2:
      write_ccmr(ccmr2_, value, 3);
      break;
    case kCCER:
      ccer_ = value & kCcerStored;
      for (int ch = 1; ch <= 4; ++ch) {
        if (!channel_enabled(ch)) ic_edges_[ch - 1] = 0;  // the input prescaler restarts
      }
      break;
    case kCNT:
      cnt_ = static_cast<uint16_t>(value);
      if (counting()) start_counting(t);
      quiet_until_ = 0;
      break;
    case kPSC:
      psc_ = static_cast<uint16_t>(value);
      break;
    case kARR:
      arr_ = static_cast<uint16_t>(value);
      if ((cr1_ & kArpe) == 0) {
        const bool was_blocked = blocked();
        if (!was_blocked && arr_ == 0) cnt_ = count_at(t);  // the count stands where it was
        arr_active_ = arr_;
        if (was_blocked && !blocked() && counting()) start_counting(t);
        quiet_until_ = 0;
      }
      break;
    case kDCR:
      dcr_ = value & kDcrStored;
      break;
    case kDMAR: {
      const uint32_t target = (dcr_ & 0x1Fu) * 4;
      if (target != kDMAR) write(target, value);
      break;
    }
    default:
      break;
  }
}

// A channel's direction (CCxS) changes only while the channel is off.
void Timer::write_ccmr(uint32_t& reg, uint32_t value, int first_ch) {
  uint32_t keep = 0;
  for (int i = 0; i < 2; ++i) {
    if (channel_enabled(first_ch + i)) keep |= kCcs << (i * 8);
  }
  reg = (reg & keep) | (value & 0xFFFFu & ~keep);
  compare_channels_ = 0;
  for (int ch = 1; ch <= 4; ++ch) {
    if (!channel_is_input(ch)) compare_channels_ |= 1u << (ch - 1);
  }
  quiet_until_ = 0;
}

void Timer::generate(uint32_t events) {
  if (events & kEgrUg) {
    // The counter restarts whether or not the update itself is disabled.
    const bool down = (cr1_ & kDir) != 0 && (cr1_ & kCms) == 0;
    prescaler_count_ = 0;
    update_event(true);
    cnt_ = down ? arr_active_ : 0;
    if (counting()) start_counting(now());
  }
  for (int ch = 1; ch <= 4; ++ch) {
    if ((events & cc_flag(ch)) == 0) continue;
    if (channel_is_input(ch)) {
      capture(ch);
    } else {
      sr_ |= cc_flag(ch);
    }
  }
  if (events & kEgrTg) sr_ |= kTIF;
}

void Timer::update_event(bool software) {
  if (cr1_ & kUdis) return;
  psc_active_ = psc_;
  arr_active_ = arr_;
  for (int i = 0; i < 4; ++i) ccr_active_[i] = ccr_[i];
  quiet_until_ = 0;
  if (!software || (cr1_ & kUrs) == 0) sr_ |= kUIF;
  irq_check();
}

void Timer::capture(int ch) {
  if (sr_ & cc_flag(ch)) sr_ |= overcapture_flag(ch);  // the previous capture was not read
  const uint16_t value = count_at(now());
  ccr_[ch - 1] = value;
  ccr_active_[ch - 1] = value;
  quiet_until_ = 0;
  sr_ |= cc_flag(ch);
}

void Timer::input_edge(int ti, bool rising) {
  settle(now());
  for (int ch = 1; ch <= 4; ++ch) {
    const uint32_t sel = ccmr_of(ch) & kCcs;
    int source = 0;
    if (sel == kCcsDirect) source = ch;
    if (sel == kCcsIndirect) source = ((ch - 1) ^ 1) + 1;  // 1<->2, 3<->4
    if (source != ti || !channel_enabled(ch) || channel_inverted(ch) == rising) continue;
    const uint32_t psc = (ccmr_of(ch) >> 2) & 0x3u;
    if (++ic_edges_[ch - 1] < (1u << psc)) continue;
    ic_edges_[ch - 1] = 0;
    capture(ch);
  }
  irq_check();
}

// --- counting in virtual time -------------------------------------------------------

uint32_t Timer::timer_hz() const { return rcc_ ? rcc_->timer_clock_hz(true) : static_cast<uint32_t>(kCpuHz); }

Cycles Timer::tick_cycles() const {
  const uint32_t hz = timer_hz();
  if (hz != tick_hz_ || psc_active_ != tick_psc_ || tick_ == 0) retick(hz);
  return tick_;
}

// Out of line: it runs only when the prescaler or the clock changed.
void Timer::retick(uint32_t hz) const {
  tick_hz_ = hz;
  tick_psc_ = psc_active_;
  char what[64];
  std::snprintf(what, sizeof what, "a counter tick with PSC=%u", static_cast<unsigned>(psc_active_));
  tick_ = tick_board_cycles(static_cast<Cycles>(psc_active_ + 1) * kCpuHz, hz, rules_, name_, what);
}

uint16_t Timer::counter() { return count_at(now()); }

Cycles Timer::period_start() {
  settle(now());
  return epoch_ > 0 ? static_cast<Cycles>(epoch_) : 0;
}

uint16_t Timer::count_at(Cycles t) const {
  if (events_ == nullptr || !counting() || blocked()) return cnt_;
  return static_cast<uint16_t>((static_cast<int64_t>(t) - epoch_) / static_cast<int64_t>(tick_cycles()));
}

void Timer::start_counting(Cycles t) {
  epoch_ = static_cast<int64_t>(t) - static_cast<int64_t>(cnt_) * static_cast<int64_t>(tick_cycles());
  settled_ = static_cast<int64_t>(t) - 1;  // a match at this very cycle still counts
  quiet_until_ = 0;
}

// Up-counting only (the mode the firmware uses): each period the counter runs
// from 0 to ARR, a compare channel matches when it reaches CCRx, and the update
// at the wrap loads the preload registers.
void Timer::settle(Cycles t) {
  if (events_ == nullptr || !counting() || blocked() || static_cast<int64_t>(t) <= settled_) return;
  // Touched again before the next match or update: nothing to raise.
  if (static_cast<int64_t>(t) < quiet_until_ && timer_hz() == quiet_hz_) {
    settled_ = static_cast<int64_t>(t);
    return;
  }
  settle_in_full(t);
}

void Timer::flag_matches(int64_t from, int64_t to) {
  const auto tick = static_cast<int64_t>(tick_cycles());
  for (uint32_t chans = compare_channels_; chans != 0; chans &= chans - 1) {
    const int i = __builtin_ctz(chans);
    if (ccr_active_[i] > arr_active_) continue;
    const int64_t m = epoch_ + ccr_active_[i] * tick;
    if (m >= from && m <= to) sr_ |= cc_flag(i + 1);
  }
}

void Timer::settle_in_full(Cycles t) {
  int64_t lo = settled_ + 1;
  const auto hi_all = static_cast<int64_t>(t);
  for (;;) {
    const auto period = static_cast<int64_t>(arr_active_ + 1) * static_cast<int64_t>(tick_cycles());
    const int64_t update = epoch_ + period;
    flag_matches(lo, std::min(hi_all, update - 1));
    if (hi_all < update) break;
    update_event(false);
    epoch_ = update;
    lo = update;
    if (blocked()) {  // a null auto-reload came in with this update: the counter stops at 0
      cnt_ = 0;
      settled_ = hi_all;
      return;
    }
    // Whole periods with the same settings: every match and the update happen again.
    const auto next_period = static_cast<int64_t>(arr_active_ + 1) * static_cast<int64_t>(tick_cycles());
    if (hi_all - epoch_ >= next_period) {
      flag_matches(epoch_, epoch_ + next_period - 1);
      update_event(false);
      epoch_ += (hi_all - epoch_) / next_period * next_period;
      lo = epoch_;
    }
  }
  settled_ = static_cast<int64_t>(t);
  // The first match after `t` in this period, or the update that ends it.
  const auto tick = static_cast<int64_t>(tick_cycles());
  int64_t quiet = epoch_ + static_cast<int64_t>(arr_active_ + 1) * tick;
  for (uint32_t chans = compare_channels_; chans != 0; chans &= chans - 1) {
    const int i = __builtin_ctz(chans);
    if (ccr_active_[i] > arr_active_) continue;
    const int64_t m = epoch_ + ccr_active_[i] * tick;
    if (m > settled_ && m < quiet) quiet = m;
  }
  quiet_until_ = quiet;
  quiet_hz_ = timer_hz();
}

// The next cycle at which an enabled interrupt source raises its flag.
void Timer::reschedule() {
  if (events_ == nullptr) return;
  Cycles next = EventQueue::kNever;
  if (counting() && !blocked()) {
    const auto tick = static_cast<int64_t>(tick_cycles());
    const int64_t update = epoch_ + static_cast<int64_t>(arr_active_ + 1) * tick;
    const auto t = static_cast<int64_t>(now());
    int64_t best = (dier_ & kUIF) ? update : INT64_MAX;
    for (uint32_t chans = compare_channels_ & (dier_ >> 1); chans != 0; chans &= chans - 1) {
      const int i = __builtin_ctz(chans);
      if (ccr_active_[i] > arr_active_) continue;
      const int64_t m = epoch_ + ccr_active_[i] * tick;
      // Past this period's match the next one depends on what the update loads.
      best = std::min(best, m > t ? m : update);
    }
    if (best != INT64_MAX) next = static_cast<Cycles>(best);
  }
  if (next == scheduled_at_) return;
  scheduled_at_ = next;
  ++token_;
  if (next != EventQueue::kNever) events_->schedule(next, 5, due, this, token_);
}

void Timer::due(void* self, uint64_t token) {
  auto* timer = static_cast<Timer*>(self);
  if (token != timer->token_) return;
  timer->scheduled_at_ = EventQueue::kNever;
  timer->settle(timer->now());
  timer->irq_check();
  timer->reschedule();
}

double Timer::high_fraction(int ch) {
  if (!valid(ch) || channel_is_input(ch) || !channel_enabled(ch)) return 0.0;
  settle(now());
  const uint32_t mode = oc_mode(ch);
  const double span = static_cast<double>(arr_active_) + 1.0;
  double high;
  switch (mode) {
    case 0x4:
      high = 0.0;
      break;  // forced inactive
    case 0x5:
      high = 1.0;
      break;  // forced active
    case 0x6:
    case 0x7: {
      const double below = counting() && !blocked() ? std::min<double>(ccr_active_[ch - 1], span) / span
                                                    : (cnt_ < ccr_active_[ch - 1] ? 1.0 : 0.0);
      high = mode == 0x6 ? below : 1.0 - below;
      break;
    }
    default:
      high = 0.0;
      break;  // frozen and match modes: not used on this board
  }
  return channel_inverted(ch) ? 1.0 - high : high;
}

void Timer::reset() {
  EventQueue* events = events_;
  const Rcc* rcc = rcc_;
  auto irq = std::move(irq_listener_);
  auto writes = std::move(write_listeners_);
  const uint64_t token = token_;
  const bool was_high = irq_level_;
  *this = Timer();
  events_ = events;
  rcc_ = rcc;
  irq_listener_ = std::move(irq);
  write_listeners_ = std::move(writes);
  token_ = token + 1;
  if (was_high && irq_listener_) irq_listener_(false);
}

void Timer::irq_check() {
  const bool level = irq_line();
  if (level == irq_level_) return;
  irq_level_ = level;
  if (irq_listener_) irq_listener_(level);
}

}  // namespace board
