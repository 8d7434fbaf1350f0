// The Cortex-M3's exception rules and the registers that hold their state (NVIC,
// SCB, SysTick), shared by every way of running the firmware's code: which pending
// exception the current priority lets in, and the bookkeeping of taking one and
// returning from it. How a handler is then run (called natively, or entered on an
// emulated core's stack) is the business of the CPU that owns this model.
#pragma once
#include <cstdint>
#include <string>

#include "event_queue.h"
#include "peripheral.h"

namespace board {

class Rules;

// What the bus needs of the CPU that runs the code: time for an access, and the
// chance to let in an exception that a write may have pended.
class BusMaster {
 public:
  // An access of `cost` cycles: time passes, due events run.
  virtual void step(Cycles cost) = 0;
  // After a write: an exception it pended is taken before the next instruction.
  virtual void take_pending() = 0;
  // A poll that can read nothing new before the next event: time may jump there.
  virtual void wait_for_event() = 0;

 protected:
  ~BusMaster() = default;
};

class ExceptionModel : public Peripheral {
 public:
  static constexpr int kExceptions = 16 + 68;  // the vector table's length
  // The medium-density part's interrupt channels: IRQ 0 to 42 (USBWakeUp). The
  // NVIC's bits for the others read as zero and ignore writes.
  static constexpr int kIrqs = 43;
  static constexpr int kHardFault = 3, kUsageFault = 6, kSvc = 11, kPendSv = 14, kSysTick = 15, kIrq0 = 16;
  static constexpr uint8_t kPriorityMask = 0xF0;  // four implemented priority bits
  // CFSR's usage fault status bits (UFSR).
  static constexpr uint32_t kUfsrInvState = 1u << 17, kUfsrInvPc = 1u << 18;
  // SysTick's CALIB as PM0056 gives it for the STM32F10x: TENMS = 9000 (1 ms of
  // the 9 MHz reference, HCLK / 8 at 72 MHz), SKEW set, NOREF clear.
  static constexpr uint32_t kSysTickCalib = 0x40002328u;

  explicit ExceptionModel(EventQueue& events);
  // Where enable and pending bits for interrupts the part lacks are reported.
  void watch(Rules* rules) { rules_ = rules; }

  // Implemented priority bits: 4 on the STM32F103 (the default).
  void set_priority_bits(int bits);
  uint8_t priority_mask() const { return priority_mask_; }

  // Masking registers.
  uint32_t basepri() const { return basepri_; }
  uint32_t primask() const { return primask_; }
  // Both at once, without a preemption point: a core that keeps them itself
  // reports them here before asking what may be taken.
  void set_masks(uint32_t basepri, uint32_t primask);

  // The core's clock, HCLK, as the clock tree now runs it: the core's cycles and
  // SysTick's ticks are that many board cycles (72 MHz) long.
  void set_core_clock(uint32_t hclk_hz);
  uint32_t core_clock() const { return static_cast<uint32_t>(hclk_); }
  // `core` cycles of the core in board cycles, the fractions carried over.
  Cycles board_cycles(Cycles core) {
    if (hclk_ == kCpuHz) return core;
    const uint64_t scaled = core * kCpuHz + carry_;
    carry_ = scaled % hclk_;
    return scaled / hclk_;
  }

  // Pending state, as the NVIC and SCB hold it.
  void set_pending(int exception);
  // A peripheral's interrupt request line (level-sensitive, as on the NVIC): a
  // rising line pends the interrupt, and a line still high when its handler
  // returns pends it again.
  void set_irq_line(int irq, bool high);
  void clear_pending(int exception);
  bool is_pending(int exception) const;
  bool is_active(int exception) const;
  bool any_pending() const { return pending_; }
  bool irq_enabled(int irq) const { return (iser_[irq / 32] >> (irq % 32)) & 1u; }
  int priority(int exception) const;
  int execution_priority() const;
  int active_exception() const { return depth_ ? active_[depth_ - 1] : 0; }
  int nesting() const { return depth_; }

  // The pending exception the current execution priority lets in (lowest
  // priority value, then lowest number), or -1.
  int takeable() const;
  // Whether `exception` could pre-empt what runs now, pending or not.
  bool may_preempt(int exception) const;
  // Taking `exception`: no longer pending, active above the others.
  void activate(int exception);
  // Returning from the innermost active exception: it is no longer active, and
  // its interrupt line, if still high, pends it again. Returns it (-1 if none).
  int deactivate();
  // A usage fault the running code raised (`status`: its UFSR bit, recorded in
  // CFSR): the exception to enter for it, a usage fault if enabled (SHCSR) and
  // above the execution priority, else a hard fault with HFSR.FORCED; -1 when
  // not even that may pre-empt (the core locks up).
  int usage_fault(uint32_t status);
  // CCR.NONBASETHRDENA: thread mode may be entered with exceptions still active.
  bool nonbase_thread() const { return ccr_ & 1u; }

  // A system reset: NVIC, SCB, SysTick and the masks back to their reset values,
  // nothing active or pending, a halted core running again. Interrupt lines follow
  // their peripherals, so those are reset first.
  void reset();

  // A stopped CPU: the first reason is kept.
  void mark_halted(const std::string& reason);
  bool halted() const { return halted_; }
  const std::string& halt_reason() const { return halt_reason_; }
  uint64_t exceptions_taken(int exception) const { return taken_[exception]; }
  // Runs of a handler that were entered again only because its last store, the
  // one clearing its interrupt flag, had not reached the peripheral through the
  // bus bridge when it returned: the line still high, the NVIC pended it again.
  uint64_t late_clears(int exception) const { return late_[exception]; }
  // How long a store takes to reach a peripheral, in core cycles: two cycles of
  // APB1 at half HCLK.
  static constexpr Cycles kBridgeCycles = 4;
  // The vector table's address (VTOR) and the stack alignment on entry (CCR.STKALIGN).
  uint32_t vector_table() const { return vtor_; }
  bool stack_align8() const { return (ccr_ >> 9) & 1u; }

  // The core registers (NVIC, SysTick, SCB) at 0xE000E000 + offset.
  uint32_t read(uint32_t offset) override;
  uint32_t peek(uint32_t offset) override;  // SysTick CTRL without clearing COUNTFLAG
  void write(uint32_t offset, uint32_t value) override;
  uint8_t read8(uint32_t offset);
  void write8(uint32_t offset, uint8_t value);
  // SysTick's count and COUNTFLAG follow time.
  bool stable(uint32_t offset) const override { return offset != kSysTickVal && offset != kSysTickCtrl; }

 protected:
  EventQueue& events_;
  uint32_t basepri_ = 0, primask_ = 0;

 private:
  static constexpr uint32_t kSysTickCtrl = 0x010, kSysTickLoad = 0x014, kSysTickVal = 0x018;
  int group(int prio) const;
  int best_pending() const;
  void recount_pending();
  // Bits of an interrupt enable or pending word for IRQs the part lacks, reported
  // when `setting` (a set-enable or set-pending write) and always dropped.
  uint32_t existing_irqs(uint32_t offset, int word, uint32_t value, bool setting, const char* what);
  void unknown_irq(uint32_t offset, int irq, const char* what);
  // SysTick counts in ticks of the core clock (CLKSOURCE) or of HCLK / 8.
  Cycles systick_tick() const { return (st_ctrl_ & kStClkSource) ? core_tick_ : eighth_tick_; }
  uint32_t systick_value(Cycles t) const;
  // The first time after `t` the count reaches 0 by counting down (kNever if none).
  Cycles systick_next_zero(Cycles t) const;
  bool systick_flag_due() const;
  void systick_settle();                   // COUNTFLAG up to now
  void systick_rebase(uint32_t new_ctrl);  // the count stays as it stands, under new settings
  void systick_schedule();
  static void systick_event(void* ctx, uint64_t token);
  static constexpr uint32_t kStEnable = 1u << 0, kStTickInt = 1u << 1, kStClkSource = 1u << 2,
                            kStCountFlag = 1u << 16;

  uint8_t priority_mask_ = kPriorityMask;
  // NVIC
  uint32_t iser_[3] = {};
  uint32_t ispr_[3] = {};
  uint8_t ip_[kIrqs] = {};
  // SCB
  uint8_t shp_[12] = {};
  uint32_t prigroup_ = 0;
  uint32_t vtor_ = 0;
  uint32_t ccr_ = 0;  // r1p1: STKALIGN resets to 0
  uint32_t shcsr_ = 0, cfsr_ = 0, hfsr_ = 0;
  bool pendsv_ = false, systick_pend_ = false, svc_pend_ = false;
  // SysTick. Enabled, the count is a function of time: it reaches 0 at
  // st_zero_ (by counting down if st_zero_counted_, else cleared there) and
  // again every LOAD + 1 ticks after. Disabled, it stands at st_val_.
  uint32_t st_ctrl_ = 0, st_load_ = 0, st_val_ = 0;
  Cycles st_zero_ = 0;
  uint64_t hclk_ = kCpuHz, carry_ = 0;
  Cycles core_tick_ = 1;    // board cycles a core cycle, rounded, for SysTick
  Cycles eighth_tick_ = 8;  // board cycles a tick of HCLK / 8, rounded
  bool st_zero_counted_ = false;
  Cycles st_flag_from_ = 0;  // COUNTFLAG is settled up to this cycle
  uint64_t st_token_ = 0;
  Rules* rules_ = nullptr;

  uint32_t lines_[3] = {};
  int active_[kExceptions] = {};
  int depth_ = 0;
  bool pending_ = false;  // any exception pending, masked or not
  uint64_t taken_[kExceptions] = {};
  uint64_t late_[kExceptions] = {};
  Cycles line_fell_at_[kIrqs] = {};  // the cycle a line last fell, plus one (0: never)
  bool halted_ = false;
  std::string halt_reason_;
};

}  // namespace board
