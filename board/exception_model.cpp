#include "exception_model.h"

namespace board {

namespace {

constexpr uint32_t kIcsrPendSvSet = 1u << 28, kIcsrPendSvClr = 1u << 27;
constexpr uint32_t kIcsrPendStSet = 1u << 26, kIcsrPendStClr = 1u << 25;
constexpr uint32_t kAircrKey = 0x05FAu;
constexpr uint32_t kStEnable = 1u << 0, kStTickInt = 1u << 1, kStCoreClock = 1u << 2, kStCountFlag = 1u << 16;
constexpr int kSysTickEventPriority = 0;

}  // namespace

ExceptionModel::ExceptionModel(EventQueue& events) : events_(events) {}

void ExceptionModel::set_priority_bits(int bits) { priority_mask_ = static_cast<uint8_t>(0xFF00u >> bits); }

void ExceptionModel::set_masks(uint32_t basepri, uint32_t primask) {
  basepri_ = basepri & priority_mask_;
  primask_ = primask & 1u;
}

int ExceptionModel::group(int prio) const {
  const int groupvalue = 2 << prigroup_;
  // A power of two: a mask does it without a division (the fixed negative
  // priorities keep C++'s rounding towards zero).
  return prio >= 0 ? prio & ~(groupvalue - 1) : prio - (prio % groupvalue);
}

int ExceptionModel::priority(int exception) const {
  if (exception >= kIrq0) return ip_[exception - kIrq0];
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
      if (exception >= kIrq0 && exception < kExceptions)
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

int ExceptionModel::deactivate() {
  if (depth_ == 0) return -1;
  const int exc = active_[--depth_];
  const int irq = exc - kIrq0;
  if (irq >= 0 && ((lines_[irq / 32] >> (irq % 32)) & 1u)) set_pending(exc);
  return exc;
}

void ExceptionModel::mark_halted(const std::string& reason) {
  if (!halted_) {
    halted_ = true;
    halt_reason_ = reason;
  }
}

void ExceptionModel::set_irq_line(int irq, bool high) {
  const uint32_t bit = 1u << (irq % 32);
  if (high) {
    lines_[irq / 32] |= bit;
    set_pending(kIrq0 + irq);
  } else {
    lines_[irq / 32] &= ~bit;
  }
}

void ExceptionModel::reset() {
  basepri_ = primask_ = 0;
  for (auto& w : iser_) w = 0;
  for (auto& w : ispr_) w = 0;
  for (auto& p : ip_) p = 0;
  for (auto& p : shp_) p = 0;
  prigroup_ = vtor_ = ccr_ = 0;
  pendsv_ = systick_pend_ = svc_pend_ = false;
  st_ctrl_ = st_load_ = 0;
  st_start_ = events_.now();
  ++st_token_;  // a tick already queued no longer counts
  depth_ = 0;
  halted_ = false;
  halt_reason_.clear();
  recount_pending();
}

// --- SysTick -------------------------------------------------------------------

Cycles ExceptionModel::systick_period() const {
  const Cycles reload = static_cast<Cycles>(st_load_ & 0xFFFFFFu) + 1;
  return (st_ctrl_ & kStCoreClock) ? reload : reload * 8;
}

void ExceptionModel::systick_restart() {
  ++st_token_;
  st_start_ = events_.now();
  // Only an enabled tick interrupt needs events; the count itself follows time.
  if ((st_ctrl_ & kStEnable) && (st_ctrl_ & kStTickInt) && (st_load_ & 0xFFFFFFu) != 0)
    events_.schedule(st_start_ + systick_period(), kSysTickEventPriority, systick_event, this, st_token_);
}

void ExceptionModel::systick_event(void* ctx, uint64_t token) {
  auto* cpu = static_cast<ExceptionModel*>(ctx);
  if (token != cpu->st_token_) return;
  cpu->st_ctrl_ |= kStCountFlag;
  cpu->set_pending(kSysTick);
  cpu->events_.schedule(cpu->events_.now() + cpu->systick_period(), kSysTickEventPriority, systick_event, cpu,
                        token);
}

// --- registers -----------------------------------------------------------------

uint32_t ExceptionModel::peek(uint32_t offset) { return offset == kSysTickCtrl ? st_ctrl_ : read(offset); }

uint32_t ExceptionModel::read(uint32_t offset) {
  if (offset >= 0x400 && offset < 0x400 + sizeof ip_) {
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
      const uint32_t v = st_ctrl_;
      st_ctrl_ &= ~kStCountFlag;
      return v;
    }
    case kSysTickLoad:
      return st_load_;
    case kSysTickVal: {
      if (!(st_ctrl_ & kStEnable)) return 0;
      const Cycles period = systick_period();
      const Cycles div = (st_ctrl_ & kStCoreClock) ? 1 : 8;
      const Cycles elapsed = (events_.now() - st_start_) % period;
      return static_cast<uint32_t>((period - 1 - elapsed) / div);
    }
    case 0x01C:
      return 0;  // CALIB
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
    default:
      break;
  }
  if (offset >= 0x100 && offset < 0x10C) return iser_[(offset - 0x100) / 4];
  if (offset >= 0x180 && offset < 0x18C) return iser_[(offset - 0x180) / 4];
  if (offset >= 0x200 && offset < 0x20C) return ispr_[(offset - 0x200) / 4];
  if (offset >= 0x280 && offset < 0x28C) return ispr_[(offset - 0x280) / 4];
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
  if ((offset >= 0x400 && offset < 0x400 + sizeof ip_) || (offset >= 0xD18 && offset < 0xD24)) {
    for (int i = 0; i < 4; ++i) write8(offset + i, static_cast<uint8_t>(value >> (8 * i)));
    return;
  }
  switch (offset) {
    case kSysTickCtrl:
      st_ctrl_ = (st_ctrl_ & kStCountFlag) | (value & (kStEnable | kStTickInt | kStCoreClock));
      systick_restart();
      return;
    case kSysTickLoad:
      st_load_ = value & 0xFFFFFFu;
      return;
    case kSysTickVal:  // any write clears the count and the flag
      st_ctrl_ &= ~kStCountFlag;
      systick_restart();
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
    case 0xF00:
      set_pending(kIrq0 + static_cast<int>(value & 0x1FFu));
      return;  // STIR
    default:
      break;
  }
  if (offset >= 0x100 && offset < 0x10C)
    iser_[(offset - 0x100) / 4] |= value;
  else if (offset >= 0x180 && offset < 0x18C)
    iser_[(offset - 0x180) / 4] &= ~value;
  else if (offset >= 0x200 && offset < 0x20C)
    ispr_[(offset - 0x200) / 4] |= value;
  else if (offset >= 0x280 && offset < 0x28C)
    ispr_[(offset - 0x280) / 4] &= ~value;
  else
    return;
  // Keep to the interrupts this chip has.
  ispr_[2] &= 0xFu;
  iser_[2] &= 0xFu;
  recount_pending();
}

uint8_t ExceptionModel::read8(uint32_t offset) {
  if (offset >= 0x400 && offset < 0x400 + sizeof ip_) return ip_[offset - 0x400];
  if (offset >= 0xD18 && offset < 0xD24) return shp_[offset - 0xD18];
  return static_cast<uint8_t>(read(offset & ~3u) >> (8 * (offset & 3u)));
}

void ExceptionModel::write8(uint32_t offset, uint8_t value) {
  if (offset >= 0x400 && offset < 0x400 + sizeof ip_) {
    ip_[offset - 0x400] = value & priority_mask_;
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
