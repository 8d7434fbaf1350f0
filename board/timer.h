// General-purpose timer register model (TIM2-TIM4 layout). Registers keep only
// their implemented bits; status bits clear by writing 0 (a written 1 is ignored);
// PSC, ARR (with ARPE) and the compare registers (with OCxPE) are preload
// registers whose active copies load at an update event, which EGR.UG generates.
// With a clock attached, the counter follows time: it is computed from the cycle
// at which it last stood at 0, never ticked, and flags that fell due are settled
// whenever the model is touched. Events are scheduled only for the interrupt
// sources that are enabled.
// Input capture latches CNT into CCRx on an input edge; reading CCRx in capture
// mode clears the capture flag. The interrupt line is high while a flag is set
// whose interrupt is enabled.
#pragma once
#include <cstdint>
#include <functional>
#include <vector>

#include "event_queue.h"
#include "peripheral.h"

namespace board {

class Rcc;
class Rules;

class Timer : public Peripheral {
 public:
  // A timer on its own: registers only, the counter stands still.
  Timer() = default;
  // A timer on APB1 counting from the bus's timer clock in virtual time.
  Timer(EventQueue& events, const Rcc& rcc) : events_(&events), rcc_(&rcc) {}

  static constexpr uint32_t kCR1 = 0x00, kCR2 = 0x04, kSMCR = 0x08, kDIER = 0x0C, kSR = 0x10, kEGR = 0x14,
                            kCCMR1 = 0x18, kCCMR2 = 0x1C, kCCER = 0x20, kCNT = 0x24, kPSC = 0x28, kARR = 0x2C,
                            kRCR = 0x30, kCCR1 = 0x34, kCCR2 = 0x38, kCCR3 = 0x3C, kCCR4 = 0x40, kBDTR = 0x44,
                            kDCR = 0x48, kDMAR = 0x4C;
  // Status, interrupt-enable and event-generation bits.
  static constexpr uint32_t kUIF = 1u << 0, kTIF = 1u << 6;
  static constexpr uint32_t cc_flag(int ch) { return 1u << ch; }                 // CCxIF, channel 1..4
  static constexpr uint32_t overcapture_flag(int ch) { return 1u << (ch + 8); }  // CCxOF

  uint32_t read(uint32_t offset) override;
  uint32_t peek(uint32_t offset) override;  // a captured CCR without acknowledging it
  void write(uint32_t offset, uint32_t value) override;
  bool stable(uint32_t offset) const override { return offset != kCNT; }

  bool counting() const { return (cr1_ & kCen) != 0; }
  // A null auto-reload blocks the counter (RM0008): no count, no update, no
  // match until a non-zero value takes effect (at once without ARPE, else at UG).
  bool blocked() const { return arr_active_ == 0; }
  uint16_t counter();
  // The active (shadow) values the counter works with.
  uint16_t prescaler() const { return psc_active_; }
  uint16_t autoreload() const { return arr_active_; }
  uint16_t compare(int ch) const { return valid(ch) ? ccr_active_[ch - 1] : 0; }
  // Channel 1..4: output-compare mode field (0x6 for PWM mode 1, 0x5 forced active).
  uint8_t oc_mode(int ch) const;
  bool channel_is_input(int ch) const;
  bool channel_enabled(int ch) const { return valid(ch) && ((ccer_ >> ((ch - 1) * 4)) & 1u); }
  bool channel_inverted(int ch) const { return valid(ch) && ((ccer_ >> ((ch - 1) * 4 + 1)) & 1u); }

  // An edge on timer input TI1..TI4: every channel capturing from that input
  // with the matching polarity latches the counter (after its input prescaler).
  void input_edge(int ti, bool rising);
  // An update event: active registers load, UIF rises (unless UDIS, or URS for a
  // software update).
  void update_event(bool software);

  bool irq_line() const { return (sr_ & dier_ & kIrqSources) != 0; }
  // A system reset: every register back to its reset value, the counter stopped;
  // listeners stay, and an event already queued no longer acts.
  void reset();
  // Called whenever the interrupt line changes level.
  void set_irq_listener(std::function<void(bool level)> fn) { irq_listener_ = std::move(fn); }
  // Where a tick the 72 MHz time base can only round is told, and this timer's name.
  void watch(Rules* rules, const char* name) {
    rules_ = rules;
    name_ = name;
  }
  // Called after every register write by software (traces).
  void add_write_listener(std::function<void(uint32_t offset, uint32_t value)> fn) {
    write_listeners_.push_back(std::move(fn));
  }

  // Share of each period an output-compare channel's output is high (PWM mode 1
  // and 2, forced levels, polarity and output enable taken into account); for a
  // stopped counter the level it stands at.
  double high_fraction(int ch);
  // Cycles one count takes at the present prescaler and timer clock.
  Cycles tick_cycles() const;
  // While counting: the cycle at which the present period began (counter 0).
  Cycles period_start();

 private:
  static constexpr uint32_t kCen = 1u << 0, kUdis = 1u << 1, kUrs = 1u << 2, kDir = 1u << 4, kCms = 0x3u << 5,
                            kArpe = 1u << 7;
  static constexpr uint32_t kIrqSources = 0x5Fu;
  static bool valid(int ch) { return ch >= 1 && ch <= 4; }
  uint32_t ccmr_of(int ch) const { return ((ch <= 2 ? ccmr1_ : ccmr2_) >> (((ch - 1) & 1) * 8)) & 0xFFu; }
  // Bit ch-1 set for each channel in output-compare mode: the ones that match.
  uint32_t compare_channels() const { return compare_channels_; }
  void flag_matches(int64_t from, int64_t to);
  void capture(int ch);
  void generate(uint32_t events);
  void write_ccmr(uint32_t& reg, uint32_t value, int first_ch);
  void write_register(uint32_t offset, uint32_t value, Cycles t);
  void irq_check();
  void settle(Cycles now);  // raises the flags that fell due up to `now`
  void settle_in_full(Cycles now);
  uint32_t timer_hz() const;
  [[gnu::noinline]] void retick(uint32_t hz) const;
  void reschedule();
  void start_counting(Cycles now);
  static void due(void* self, uint64_t token);
  Cycles now() const { return events_ ? events_->now() : 0; }
  uint16_t count_at(Cycles now) const;

  uint32_t cr1_ = 0, cr2_ = 0, smcr_ = 0, dier_ = 0, sr_ = 0;
  uint32_t ccmr1_ = 0, ccmr2_ = 0, ccer_ = 0, dcr_ = 0;
  uint16_t cnt_ = 0;
  uint16_t psc_ = 0, arr_ = 0, ccr_[4] = {};  // what software wrote (preload registers)
  uint16_t psc_active_ = 0, arr_active_ = 0, ccr_active_[4] = {};
  uint16_t prescaler_count_ = 0;  // ready for the counting: cleared by UG
  uint8_t ic_edges_[4] = {};      // edges seen towards each input prescaler's next capture
  uint32_t compare_channels_ = 0xFu;
  bool irq_level_ = false;
  std::function<void(bool)> irq_listener_;
  std::vector<std::function<void(uint32_t, uint32_t)>> write_listeners_;

  EventQueue* events_ = nullptr;
  const Rcc* rcc_ = nullptr;
  int64_t epoch_ = 0;     // cycle at which the counter stood at 0 in this period
  int64_t settled_ = -1;  // flags are settled up to and including this cycle
  // Before this cycle no flag can rise with the settings and the timer clock
  // `quiet_hz_` of the last full settle (0: settle in full).
  int64_t quiet_until_ = 0;
  uint32_t quiet_hz_ = 0;
  // tick_cycles() for this prescaler and timer clock.
  mutable uint32_t tick_hz_ = 0;
  mutable uint16_t tick_psc_ = 0;
  mutable Cycles tick_ = 0;
  Rules* rules_ = nullptr;
  const char* name_ = "TIM";
  uint64_t token_ = 0;
  Cycles scheduled_at_ = EventQueue::kNever;
};

}  // namespace board
