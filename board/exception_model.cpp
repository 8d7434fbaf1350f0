#include "exception_model.h"

#include <algorithm>
#include <cstdio>

#include "register_names.h"
#include "rules.h"

namespace board {

namespace {

constexpr uint32_t kIcsrPendSvSet = 1u << 28, kIcsrPendSvClr = 1u << 27;
constexpr uint32_t kIcsrPendStSet = 1u << 26, kIcsrPendStClr = 1u << 25;
constexpr uint32_t kAircrKey = 0x05FAu;
constexpr int kSysTickEventPriority = 0;
constexpr uint32_t kCoreBase = 0xE000E000u;
constexpr uint32_t kIpEnd = 0x400 + 240;        // NVIC.IP[0..239]
constexpr uint32_t kShcsrEnables = 0x7u << 16;  // MEMFAULTENA, BUSFAULTENA, USGFAULTENA
constexpr uint32_t kShcsrUsgFaultEna = 1u << 18;
constexpr uint32_t kHfsrForced = 1u << 30;
constexpr uint32_t kCfsrStored = 0x030FBFBFu, kHfsrStored = 0xC0000002u;

// The interrupts each 32-bit NVIC word has on this part.
constexpr uint32_t irq_bits(int word) {
  const int first = 32 * word, n = ExceptionModel::kIrqs - first;
  return n >= 32 ? 0xFFFFFFFFu : n <= 0 ? 0u : (1u << n) - 1u;
}

}  // namespace

ExceptionModel::ExceptionModel(EventQueue& events) : events_(events) {}

void ExceptionModel::set_priority_bits(int bits) { priority_mask_ = static_cast<uint8_t>(0xFF00u >> bits); }

void ExceptionModel::set_masks(uint32_t basepri, uint32_t primask) {
  basepri_ = basepri & priority_mask_;
  primask_ = primask & 1u;
}

int ExceptionModel::group(int prio) const {
  const int groupvalue = 2 << prigroup_;
  // A power of two: a mask does it without a division. The fixed negative
  // priorities (reset, NMI, hard fault) are not grouped: a hard fault runs at -1.
  return prio >= 0 ? prio & ~(groupvalue - 1) : prio;
}

int ExceptionModel::priority(int exception) const {
  if (exception >= kIrq0) return exception < kIrq0 + kIrqs ? ip_[exception - kIrq0] : 0;
  if (exception >= 4) return shp_[exception - 4];
  return exception - 4;  // reset, NMI, hard fault: fixed and negative
}

int ExceptionModel::execution_priority() const {
  int highest = 256;
  for (int i = 0; i < depth_; ++i) {
    const int p = priority(active_[i]);
    if (p < highest) highest = p;
  }
  if (highest < 256) highest = group(highest);
  int boosted = 256;
  if (basepri_ != 0) boosted = group(static_cast<int>(basepri_));
  if (primask_ != 0) boosted = 0;
  return boosted < highest ? boosted : highest;
}

bool ExceptionModel::is_pending(int exception) const {
  switch (exception) {
    case kSvc:
      return svc_pend_;
    case kPendSv:
      return pendsv_;
    case kSysTick:
      return systick_pend_;
    default:
      if (exception < kIrq0) return false;
      return (ispr_[(exception - kIrq0) / 32] >> ((exception - kIrq0) % 32)) & 1u;
  }
}

bool ExceptionModel::is_active(int exception) const {
  for (int i = 0; i < depth_; ++i)
    if (active_[i] == exception) return true;
  return false;
}

void ExceptionModel::recount_pending() {
  pending_ = svc_pend_ || pendsv_ || systick_pend_ ||
             ((ispr_[0] & iser_[0]) | (ispr_[1] & iser_[1]) | (ispr_[2] & iser_[2])) != 0;
}

void ExceptionModel::set_pending(int exception) {
  switch (exception) {
    case kSvc:
      svc_pend_ = true;
      break;
    case kPendSv:
      pendsv_ = true;
      break;
    case kSysTick:
      systick_pend_ = true;
      break;
    default:
      if (exception >= kIrq0 && exception < kIrq0 + kIrqs)
        ispr_[(exception - kIrq0) / 32] |= 1u << ((exception - kIrq0) % 32);
  }
  recount_pending();
}

void ExceptionModel::clear_pending(int exception) {
  switch (exception) {
    case kSvc:
      svc_pend_ = false;
      break;
    case kPendSv:
      pendsv_ = false;
      break;
    case kSysTick:
      systick_pend_ = false;
      break;
    default:
      if (exception >= kIrq0 && exception < kExceptions)
        ispr_[(exception - kIrq0) / 32] &= ~(1u << ((exception - kIrq0) % 32));
  }
  recount_pending();
}

// The pending exception that would be taken next: lowest priority value, then
// lowest exception number. -1 if none.
int ExceptionModel::best_pending() const {
  int best = -1, best_prio = 1 << 10;
  auto consider = [&](int exc) {
    const int p = priority(exc);
    if (p < best_prio) {
      best = exc;
      best_prio = p;
    }
  };
  if (svc_pend_) consider(kSvc);
  if (pendsv_) consider(kPendSv);
  if (systick_pend_) consider(kSysTick);
  for (int w = 0; w < 3; ++w) {
    uint32_t bits = ispr_[w] & iser_[w];
    while (bits) {
      const int b = __builtin_ctz(bits);
      bits &= bits - 1;
      consider(kIrq0 + w * 32 + b);
    }
  }
  return best;
}

int ExceptionModel::takeable() const {
  const int exc = best_pending();
  return exc >= 0 && may_preempt(exc) ? exc : -1;
}

bool ExceptionModel::may_preempt(int exception) const {
  return group(priority(exception)) < execution_priority();
}

void ExceptionModel::activate(int exception) {
  clear_pending(exception);
  active_[depth_++] = exception;
  ++taken_[exception];
}

int ExceptionModel::usage_fault(uint32_t status) {
  cfsr_ |= status;
  if ((shcsr_ & kShcsrUsgFaultEna) && group(priority(kUsageFault)) < execution_priority()) return kUsageFault;
  if (priority(kHardFault) >= execution_priority()) return -1;
  hfsr_ |= kHfsrForced;
  return kHardFault;
}

int ExceptionModel::deactivate() {
  if (depth_ == 0) return -1;
  const int exc = active_[--depth_];
  const int irq = exc - kIrq0;
  if (irq >= 0 && irq < kIrqs) {
    if ((lines_[irq / 32] >> (irq % 32)) & 1u) {
      set_pending(exc);
    } else if (line_fell_at_[irq] != 0 &&
               events_.now() + 1 < line_fell_at_[irq] + kBridgeCycles * core_tick_) {
      // The clear is still on its way to the peripheral: the NVIC sees the line high.
      set_pending(exc);
      ++late_[exc];
    }
  }
  return exc;
}

void ExceptionModel::mark_halted(const std::string& reason) {
  if (!halted_) {
    halted_ = true;
    halt_reason_ = reason;
  }
}

void ExceptionModel::set_irq_line(int irq, bool high) {
  if (irq < 0 || irq >= kIrqs) return;
  const uint32_t bit = 1u << (irq % 32);
  if (high) {
    lines_[irq / 32] |= bit;
    set_pending(kIrq0 + irq);
  } else {
    if (lines_[irq / 32] & bit) line_fell_at_[irq] = events_.now() + 1;
    lines_[irq / 32] &= ~bit;
  }
}

void ExceptionModel::reset() {
  basepri_ = primask_ = 0;
  for (auto& w : iser_) w = 0;
  for (auto& w : ispr_) w = 0;
  for (auto& p : ip_) p = 0;
  for (auto& t : line_fell_at_) t = 0;
  for (auto& p : shp_) p = 0;
  prigroup_ = vtor_ = ccr_ = 0;
  shcsr_ = cfsr_ = hfsr_ = 0;
  pendsv_ = systick_pend_ = svc_pend_ = false;
  st_ctrl_ = st_load_ = st_val_ = 0;
  st_zero_ = st_flag_from_ = events_.now();
  st_zero_counted_ = false;
  ++st_token_;  // a tick already queued no longer counts
  depth_ = 0;
  halted_ = false;
  halt_reason_.clear();
  recount_pending();
}

// --- SysTick -------------------------------------------------------------------

void ExceptionModel::set_core_clock(uint32_t hclk_hz) {
  if (hclk_hz == 0 || hclk_hz == hclk_) return;
  systick_settle();
  const uint32_t value = systick_value(events_.now());
  hclk_ = hclk_hz;
  carry_ = 0;
  core_tick_ = tick_board_cycles(kCpuHz, hclk_hz, rules_, "HCLK",
                                 "a SysTick tick on HCLK (CLKSOURCE=1) and the bus bridge's delay");
  eighth_tick_ = tick_board_cycles(8 * kCpuHz, hclk_hz, rules_, "HCLK", "a SysTick tick on HCLK / 8");
  if (!(st_ctrl_ & kStEnable)) return;
  // The count goes on from where it stands, at the new rate.
  st_zero_ = events_.now() + static_cast<Cycles>(value) * systick_tick();
  st_zero_counted_ = value != 0;
  systick_schedule();
}

uint32_t ExceptionModel::systick_value(Cycles t) const {
  if (!(st_ctrl_ & kStEnable)) return st_val_;
  const Cycles tick = systick_tick();
  if (t < st_zero_) return static_cast<uint32_t>((st_zero_ - t + tick - 1) / tick);
  // From 0 the next tick reloads LOAD, and the count goes down to 0 again.
  const Cycles states = static_cast<Cycles>(st_load_) + 1;
  const Cycles k = (t - st_zero_) / tick % states;
  return static_cast<uint32_t>((states - k) % states);
}

Cycles ExceptionModel::systick_next_zero(Cycles t) const {
  if (!(st_ctrl_ & kStEnable)) return EventQueue::kNever;
  if (st_zero_ > t && st_zero_counted_) return st_zero_;
  // A reload of 0 keeps the count at 0: it never counts down to it again.
  if (st_load_ == 0) return EventQueue::kNever;
  const Cycles period = (static_cast<Cycles>(st_load_) + 1) * systick_tick();
  if (st_zero_ > t) return st_zero_ + period;
  return st_zero_ + ((t - st_zero_) / period + 1) * period;
}

bool ExceptionModel::systick_flag_due() const {
  return (st_ctrl_ & kStCountFlag) || systick_next_zero(st_flag_from_) <= events_.now();
}

void ExceptionModel::systick_settle() {
  if (systick_flag_due()) st_ctrl_ |= kStCountFlag;
  st_flag_from_ = events_.now();
}

// Called with COUNTFLAG settled, before LOAD or CTRL change: the count goes on
// from where it stands.
void ExceptionModel::systick_rebase(uint32_t new_ctrl) {
  const Cycles now = events_.now();
  const uint32_t value = systick_value(now);
  const bool was_enabled = st_ctrl_ & kStEnable;
  const Cycles old_tick = systick_tick();
  st_ctrl_ = (st_ctrl_ & kStCountFlag) | new_ctrl;
  if (!(st_ctrl_ & kStEnable)) {
    st_val_ = value;
    return;
  }
  if (!was_enabled || old_tick != systick_tick()) {
    st_zero_ = now + static_cast<Cycles>(value) * systick_tick();
    st_zero_counted_ = value != 0;
    return;
  }
  // Same clock: the ticks stay where they fall. Past st_zero_ the next zero (or
  // the one the count stands at) is one of the old LOAD's periods on.
  if (now < st_zero_) return;
  const Cycles period = (static_cast<Cycles>(st_load_) + 1) * old_tick;
  st_zero_ += ((now - st_zero_) / period + (value != 0 ? 1 : 0)) * period;
  st_zero_counted_ = value != 0;
}

void ExceptionModel::systick_schedule() {
  ++st_token_;
  // Only an enabled tick interrupt needs events; the count itself follows time.
  if (!(st_ctrl_ & kStTickInt)) return;
  const Cycles next = systick_next_zero(events_.now());
  if (next != EventQueue::kNever)
    events_.schedule(next, kSysTickEventPriority, systick_event, this, st_token_);
}

void ExceptionModel::systick_event(void* ctx, uint64_t token) {
  auto* cpu = static_cast<ExceptionModel*>(ctx);
  if (token != cpu->st_token_) return;
  cpu->set_pending(kSysTick);
  const Cycles next = cpu->systick_next_zero(cpu->events_.now());
  if (next != EventQueue::kNever)
    cpu->events_.schedule(next, kSysTickEventPriority, systick_event, cpu, token);
}

// --- NVIC ----------------------------------------------------------------------

void ExceptionModel::unknown_irq(uint32_t offset, int irq, const char* what) {
  if (rules_ == nullptr) return;
  char text[200];
  std::snprintf(text, sizeof text,
                "%s: %s IRQ %d, past the part's last, IRQ %d (USBWakeUp; the chip has no such interrupt and "
                "ignores it)",
                regs::register_name(kCoreBase + offset).c_str(), what, irq, kIrqs - 1);
  rules_->broken(text);
}

uint32_t ExceptionModel::existing_irqs(uint32_t offset, int word, uint32_t value, bool setting,
                                       const char* what) {
  const uint32_t missing = value & ~irq_bits(word);
  if (setting && missing != 0) unknown_irq(offset, 32 * word + __builtin_ctz(missing), what);
  return value & irq_bits(word);
}

// --- registers -----------------------------------------------------------------

uint32_t ExceptionModel::peek(uint32_t offset) {
  if (offset == kSysTickCtrl) return systick_flag_due() ? st_ctrl_ | kStCountFlag : st_ctrl_;
  return read(offset);
}

uint32_t ExceptionModel::read(uint32_t offset) {
  if (offset >= 0x400 && offset < kIpEnd) {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(read8(offset + i)) << (8 * i);
    return v;
  }
  if (offset >= 0xD18 && offset < 0xD24) {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(read8(offset + i)) << (8 * i);
    return v;
  }
  switch (offset) {
    case kSysTickCtrl: {
      systick_settle();
      const uint32_t v = st_ctrl_;
      st_ctrl_ &= ~kStCountFlag;
      return v;
    }
    case kSysTickLoad:
      return st_load_;
    case kSysTickVal:
      return systick_value(events_.now());
    case 0x01C:
      return kSysTickCalib;
    case 0xD00:
      return 0x411FC231;  // CPUID: Cortex-M3 r1p1
    case 0xD04: {
      uint32_t v = 0;
      if (pendsv_) v |= kIcsrPendSvSet;
      if (systick_pend_) v |= kIcsrPendStSet;
      v |= static_cast<uint32_t>(active_exception()) & 0x1FFu;
      const int p = best_pending();
      if (p >= 0) v |= static_cast<uint32_t>(p) << 12;
      return v;
    }
    case 0xD08:
      return vtor_;
    case 0xD0C:
      return (0xFA05u << 16) | (prigroup_ << 8);
    case 0xD14:
      return ccr_;
    case 0xD24: {
      // The enables as written; the active and pended bits as they stand.
      uint32_t v = shcsr_;
      constexpr struct {
        int exception;
        uint32_t bit;
      } kActive[] = {{4, 1u << 0},  {5, 1u << 1},        {kUsageFault, 1u << 3}, {kSvc, 1u << 7},
                     {12, 1u << 8}, {kPendSv, 1u << 10}, {kSysTick, 1u << 11}};
      for (const auto& a : kActive)
        if (is_active(a.exception)) v |= a.bit;
      if (svc_pend_) v |= 1u << 15;
      return v;
    }
    case 0xD28:
      return cfsr_;
    case 0xD2C:
      return hfsr_;
    default:
      break;
  }
  if (offset >= 0x100 && offset < 0x120) return offset < 0x10C ? iser_[(offset - 0x100) / 4] : 0;
  if (offset >= 0x180 && offset < 0x1A0) return offset < 0x18C ? iser_[(offset - 0x180) / 4] : 0;
  if (offset >= 0x200 && offset < 0x220) return offset < 0x20C ? ispr_[(offset - 0x200) / 4] : 0;
  if (offset >= 0x280 && offset < 0x2A0) return offset < 0x28C ? ispr_[(offset - 0x280) / 4] : 0;
  if (offset >= 0x300 && offset < 0x30C) {
    uint32_t v = 0;
    for (int i = 0; i < depth_; ++i) {
      const int irq = active_[i] - kIrq0;
      if (irq >= 0 && irq / 32 == static_cast<int>((offset - 0x300) / 4)) v |= 1u << (irq % 32);
    }
    return v;
  }
  return 0;
}

void ExceptionModel::write(uint32_t offset, uint32_t value) {
  if ((offset >= 0x400 && offset < kIpEnd) || (offset >= 0xD18 && offset < 0xD24)) {
    for (int i = 0; i < 4; ++i) write8(offset + i, static_cast<uint8_t>(value >> (8 * i)));
    return;
  }
  switch (offset) {
    case kSysTickCtrl:
      systick_settle();
      systick_rebase(value & (kStEnable | kStTickInt | kStClkSource));
      systick_schedule();
      return;
    case kSysTickLoad:
      systick_settle();
      systick_rebase(st_ctrl_ & ~kStCountFlag);  // the count under way ends with the old reload
      st_load_ = value & 0xFFFFFFu;
      systick_schedule();
      return;
    case kSysTickVal:  // any write clears the count and the flag
      systick_settle();
      st_ctrl_ &= ~kStCountFlag;
      st_val_ = 0;
      st_zero_ = events_.now();
      st_zero_counted_ = false;
      systick_schedule();
      return;
    case 0xD04:
      if (value & kIcsrPendSvSet) pendsv_ = true;
      if (value & kIcsrPendSvClr) pendsv_ = false;
      if (value & kIcsrPendStSet) systick_pend_ = true;
      if (value & kIcsrPendStClr) systick_pend_ = false;
      recount_pending();
      return;
    case 0xD08:
      vtor_ = value & 0xFFFFFF80u;
      return;
    case 0xD0C:
      if ((value >> 16) == kAircrKey) prigroup_ = (value >> 8) & 7u;
      return;
    case 0xD14:
      ccr_ = value & 0x31Bu;  // the CCR bits a Cortex-M3 implements
      return;
    case 0xD24:
      shcsr_ = value & kShcsrEnables;
      return;
    case 0xD28:  // the status bits clear where 1 is written
      cfsr_ &= ~(value & kCfsrStored);
      return;
    case 0xD2C:
      hfsr_ &= ~(value & kHfsrStored);
      return;
    case 0xF00: {  // STIR
      const int irq = static_cast<int>(value & 0x1FFu);
      if (irq >= kIrqs)
        unknown_irq(offset, irq, "triggers");
      else
        set_pending(kIrq0 + irq);
      return;
    }
    default:
      break;
  }
  if (offset >= 0x100 && offset < 0x120) {
    const int w = static_cast<int>(offset - 0x100) / 4;
    const uint32_t bits = existing_irqs(offset, w, value, true, "enables");
    if (w < 3) iser_[w] |= bits;
  } else if (offset >= 0x180 && offset < 0x1A0) {
    const int w = static_cast<int>(offset - 0x180) / 4;
    if (w < 3) iser_[w] &= ~existing_irqs(offset, w, value, false, "");
  } else if (offset >= 0x200 && offset < 0x220) {
    const int w = static_cast<int>(offset - 0x200) / 4;
    const uint32_t bits = existing_irqs(offset, w, value, true, "pends");
    if (w < 3) ispr_[w] |= bits;
  } else if (offset >= 0x280 && offset < 0x2A0) {
    const int w = static_cast<int>(offset - 0x280) / 4;
    if (w < 3) ispr_[w] &= ~existing_irqs(offset, w, value, false, "");
  } else {
    return;
  }
  recount_pending();
}

uint8_t ExceptionModel::read8(uint32_t offset) {
  if (offset >= 0x400 && offset < kIpEnd) return offset - 0x400 < kIrqs ? ip_[offset - 0x400] : 0;
  if (offset >= 0xD18 && offset < 0xD24) return shp_[offset - 0xD18];
  return static_cast<uint8_t>(read(offset & ~3u) >> (8 * (offset & 3u)));
}

void ExceptionModel::write8(uint32_t offset, uint8_t value) {
  if (offset >= 0x400 && offset < kIpEnd) {
    const int irq = static_cast<int>(offset - 0x400);
    // Clearing a priority the part does not have is harmless; setting one is a mistake.
    if (irq >= kIrqs) {
      if ((value & priority_mask_) != 0) unknown_irq(offset, irq, "sets a priority for");
      return;
    }
    ip_[irq] = value & priority_mask_;
    return;
  }
  if (offset >= 0xD18 && offset < 0xD24) {
    shp_[offset - 0xD18] = value & priority_mask_;
    return;
  }
  const uint32_t shift = 8 * (offset & 3u);
  const uint32_t old = read(offset & ~3u);
  write(offset & ~3u, (old & ~(0xFFu << shift)) | (static_cast<uint32_t>(value) << shift));
}

}  // namespace board
