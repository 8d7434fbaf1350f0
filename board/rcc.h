// Reset and clock control register model. The internal oscillator and the PLL are
// ready as soon as they are switched on, the crystal `hse_startup` later (never
// unless `crystal_present`; an external clock, HSEBYP, at once); a clock switch
// completes as soon as its source is ready. The model keeps the chip's rules: a
// clock feeding the system clock cannot be switched off, the PLL settings are
// frozen while the PLL runs, and the backup-domain bits of BDCR need PWR_CR.DBP.
// It answers which peripherals are clocked and at what rates the buses run.
#pragma once
#include <cstdint>
#include <functional>
#include <string>

#include "event_queue.h"
#include "peripheral.h"

namespace board {

class Bkp;
class FlashCtl;
class Pwr;
class Rules;

// The clock tree's rates, in Hz; `pll` 0 while the PLL is off.
struct ClockTree {
  uint32_t sysclk = 0, hclk = 0, pclk1 = 0, pclk2 = 0, pll = 0;
  bool operator==(const ClockTree&) const = default;
};
// The first of the chip's clock limits the tree breaks with `latency` flash wait
// states, in words (the register, what was set, what the chip does), or "".
std::string clock_tree_problem(const ClockTree& c, uint32_t latency);
// The wait states the flash needs at this system clock.
uint32_t flash_latency_needed(uint32_t sysclk_hz);

class Rcc : public Peripheral {
 public:
  static constexpr uint32_t kCR = 0x00, kCFGR = 0x04, kCIR = 0x08, kAPB2RSTR = 0x0C, kAPB1RSTR = 0x10,
                            kAHBENR = 0x14, kAPB2ENR = 0x18, kAPB1ENR = 0x1C, kBDCR = 0x20, kCSR = 0x24;
  static constexpr uint32_t kHsiHz = 8000000, kHseHz = 8000000;

  // Resets the backup domain through `bkp`, and the power controller that guards it.
  explicit Rcc(Bkp& bkp);

  uint32_t read(uint32_t offset) override;
  void write(uint32_t offset, uint32_t value) override;
  // CR moves by itself while an oscillator is starting (one that never starts, too).
  bool stable(uint32_t offset) const override;

  // Power-on state.
  void reset();
  // A system reset (NRST): as reset(), but the backup domain's BDCR and the reset
  // flags stay, and the pin reset flag rises.
  void system_reset();

  // When false the crystal oscillator never becomes ready.
  bool crystal_present = true;
  // How long the crystal takes to start: the datasheet's typical 2 ms for 8 MHz.
  Cycles hse_startup = kCpuHz / 500;
  // The board's time (the crystal's start-up), and who hears HCLK change (the core).
  void attach_clock(const EventQueue* clock, std::function<void(uint32_t hclk_hz)> on_hclk) {
    clock_ = clock;
    on_hclk_ = std::move(on_hclk);
    if (on_hclk_) on_hclk_(hclk_hz());
  }

  // The flash interface whose wait states the system clock needs, and where
  // broken clock rules are reported.
  void watch(const FlashCtl* flash, Rules* rules) {
    flash_ = flash;
    rules_ = rules;
  }
  ClockTree clocks() const;
  // Reports the clock tree if it breaks a limit and has changed since last asked
  // (it or the flash latency).
  void check_clocks();

  uint32_t sysclk_hz() const;
  uint32_t hclk_hz() const;
  uint32_t pclk1_hz() const;
  uint32_t pclk2_hz() const;
  // The clock of the timers on that bus: twice the bus clock when its prescaler is not 1.
  // Kept from the last change of the clock tree: the timers ask at every access.
  uint32_t timer_clock_hz(bool apb1) const { return apb1 ? timer_hz_apb1_ : timer_hz_apb2_; }

  // Whether the peripheral at `peripheral_base` has its clock enabled. RCC, FLASH and
  // peripherals without an enable bit are always clocked; unknown addresses are not.
  bool clocked(uint32_t peripheral_base) const;
  // What `clocked` looks at, for a bus that asks at every access: the peripheral is
  // clocked while `*enable & mask` (always when `enable` is null).
  struct ClockGate {
    const uint32_t* enable;
    uint32_t mask;
  };
  ClockGate gate(uint32_t peripheral_base) const;

  // Called with a peripheral's base address when software puts it into reset
  // through APB1RSTR/APB2RSTR (PWR is reset by the model itself).
  void set_reset_listener(std::function<void(uint32_t peripheral_base)> fn) {
    reset_listener_ = std::move(fn);
  }

 private:
  void settle();
  // What the PLL puts out as configured, whether it runs or not.
  uint32_t pll_rate() const;
  uint32_t compute_timer_clock_hz(bool apb1) const;
  bool hse_ready() const;
  bool source_ready(uint32_t sw) const;
  uint32_t apb_divider(uint32_t ppre) const;
  void write_cr(uint32_t value);
  void write_cfgr(uint32_t value);
  void write_cir(uint32_t value);
  void write_rstr(uint32_t& reg, uint32_t value, uint32_t mask, int bus);
  void write_bdcr(uint32_t value);

  Bkp& bkp_;
  Pwr& pwr_;
  uint32_t cr_ = 0, cfgr_ = 0, cir_ = 0, apb2rstr_ = 0, apb1rstr_ = 0, ahbenr_ = 0, apb2enr_ = 0,
           apb1enr_ = 0, bdcr_ = 0, csr_ = 0;
  uint32_t timer_hz_apb1_ = 0, timer_hz_apb2_ = 0;
  std::function<void(uint32_t)> reset_listener_;
  const EventQueue* clock_ = nullptr;
  std::function<void(uint32_t)> on_hclk_;
  Cycles hse_on_at_ = 0;  // when HSEON last rose
  uint32_t told_hclk_ = 0;
  void tell_hclk();
  const FlashCtl* flash_ = nullptr;
  Rules* rules_ = nullptr;
  ClockTree checked_{};
  uint32_t checked_latency_ = ~0u;
};

}  // namespace board
