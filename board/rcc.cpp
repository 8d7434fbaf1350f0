#include "rcc.h"

#include <algorithm>
#include <cstdio>

#include "bkp.h"
#include "flash.h"
#include "pwr.h"
#include "rules.h"

namespace board {

namespace {

// CR
constexpr uint32_t kHsiOn = 1u << 0, kHsiRdy = 1u << 1, kHsiTrim = 0x1Fu << 3;
constexpr uint32_t kHseOn = 1u << 16, kHseRdy = 1u << 17, kHseByp = 1u << 18, kCssOn = 1u << 19;
constexpr uint32_t kPllOn = 1u << 24, kPllRdy = 1u << 25;
constexpr uint32_t kCrReset = kHsiOn | kHsiRdy | (16u << 3);
// CFGR
constexpr uint32_t kSw = 0x3u, kSws = 0x3u << 2;
constexpr uint32_t kSwHsi = 0, kSwHse = 1, kSwPll = 2;
constexpr uint32_t kPllSrc = 1u << 16, kPllXtpre = 1u << 17, kPllMul = 0xFu << 18;
constexpr uint32_t kPllFields = kPllSrc | kPllXtpre | kPllMul;
constexpr uint32_t kCfgrWritable = 0x077FFFF3u;
// CIR: ready flags (bits 0-4: LSI, LSE, HSI, HSE, PLL), enables 8 bits up, clears 16 bits up
constexpr uint32_t kCirFlags = 0x1Fu, kCssf = 1u << 7, kCirEnables = 0x1Fu << 8, kCssc = 1u << 23;
// BDCR
constexpr uint32_t kLseOn = 1u << 0, kLseRdy = 1u << 1, kLseByp = 1u << 2, kRtcSel = 0x3u << 8;
constexpr uint32_t kRtcEn = 1u << 15, kBdRst = 1u << 16;
// CSR
constexpr uint32_t kLsiOn = 1u << 0, kLsiRdy = 1u << 1, kRmvf = 1u << 24, kResetFlags = 0x3Fu << 26;
constexpr uint32_t kCsrPinReset = 1u << 26;
constexpr uint32_t kCsrReset = kCsrPinReset | (1u << 27);  // pin and power-on reset

constexpr uint32_t kAhbMask = 0x55u;         // DMA1, SRAM, FLITF, CRC
constexpr uint32_t kApb2Mask = 0x5E7Du;      // medium density
constexpr uint32_t kApb1Mask = 0x1AE64807u;  // medium density

enum Bus { kAhb, kApb1, kApb2, kAlways };

struct Gate {
  uint32_t base;
  Bus bus;
  uint8_t bit;
};

constexpr Gate kGates[] = {
    {0x40000000, kApb1, 0},    // TIM2
    {0x40000400, kApb1, 1},    // TIM3
    {0x40000800, kApb1, 2},    // TIM4
    {0x40002800, kApb1, 27},   // RTC, through the backup interface
    {0x40002C00, kApb1, 11},   // WWDG
    {0x40003000, kAlways, 0},  // IWDG
    {0x40003800, kApb1, 14},   // SPI2
    {0x40004400, kApb1, 17},   // USART2
    {0x40004800, kApb1, 18},   // USART3
    {0x40005400, kApb1, 21},   // I2C1
    {0x40005800, kApb1, 22},   // I2C2
    {0x40005C00, kApb1, 23},   // USB
    {0x40006400, kApb1, 25},   // CAN
    {0x40006C00, kApb1, 27},   // BKP
    {0x40007000, kApb1, 28},   // PWR
    {0x40010000, kApb2, 0},    // AFIO
    {0x40010400, kAlways, 0},  // EXTI
    {0x40010800, kApb2, 2},    // GPIOA
    {0x40010C00, kApb2, 3},    // GPIOB
    {0x40011000, kApb2, 4},    // GPIOC
    {0x40011400, kApb2, 5},    // GPIOD
    {0x40011800, kApb2, 6},    // GPIOE
    {0x40012400, kApb2, 9},    // ADC1
    {0x40012800, kApb2, 10},   // ADC2
    {0x40012C00, kApb2, 11},   // TIM1
    {0x40013000, kApb2, 12},   // SPI1
    {0x40013800, kApb2, 14},   // USART1
    {0x40020000, kAhb, 0},     // DMA1
    {0x40021000, kAlways, 0},  // RCC
    {0x40022000, kAlways, 0},  // FLASH interface
    {0x40023000, kAhb, 6},     // CRC
};

constexpr uint32_t kPwrBase = 0x40007000;

}  // namespace

Rcc::Rcc(Bkp& bkp) : bkp_(bkp), pwr_(bkp.power()) { reset(); }

void Rcc::reset() {
  cr_ = kCrReset;
  cfgr_ = cir_ = apb2rstr_ = apb1rstr_ = apb2enr_ = apb1enr_ = bdcr_ = 0;
  ahbenr_ = 0x14;  // SRAM and FLITF clocks on in sleep mode
  csr_ = kCsrReset;
  checked_ = ClockTree{};
  checked_latency_ = ~0u;
  timer_hz_apb1_ = compute_timer_clock_hz(true);
  timer_hz_apb2_ = compute_timer_clock_hz(false);
  tell_hclk();
}

void Rcc::system_reset() {
  const uint32_t bdcr = bdcr_;
  const uint32_t flags = csr_ & 0xFE000000u;
  reset();
  bdcr_ = bdcr;
  csr_ = (csr_ & ~0xFE000000u) | flags | kCsrPinReset;
}

bool Rcc::hse_ready() const {
  if ((cr_ & kHseOn) == 0) return false;
  if (cr_ & kHseByp) return true;  // an external clock needs no start-up
  return crystal_present && (clock_ == nullptr || clock_->now() - hse_on_at_ >= hse_startup);
}

void Rcc::tell_hclk() {
  const uint32_t hz = hclk_hz();
  if (hz == told_hclk_) return;
  told_hclk_ = hz;
  if (on_hclk_) on_hclk_(hz);
}

bool Rcc::source_ready(uint32_t sw) const {
  switch (sw) {
    case kSwHsi:
      return (cr_ & kHsiRdy) != 0;
    case kSwHse:
      return (cr_ & kHseRdy) != 0;
    case kSwPll:
      return (cr_ & kPllRdy) != 0;
    default:
      return false;  // not a clock source
  }
}

// The ready flags follow the enables; a pending clock switch completes once its
// source is ready; the clocks behind the system clock are held on.
void Rcc::settle() {
  const uint32_t ready_before = ((csr_ & kLsiRdy) ? 1u : 0u) | ((bdcr_ & kLseRdy) ? 2u : 0u) |
                                ((cr_ & kHsiRdy) ? 4u : 0u) | ((cr_ & kHseRdy) ? 8u : 0u) |
                                ((cr_ & kPllRdy) ? 16u : 0u);
  for (int pass = 0; pass < 2; ++pass) {
    const uint32_t sws = (cfgr_ & kSws) >> 2;
    const bool pll_from_hse = (cfgr_ & kPllSrc) != 0;
    if (sws == kSwHsi || (sws == kSwPll && !pll_from_hse)) cr_ |= kHsiOn;
    if (sws == kSwHse || (sws == kSwPll && pll_from_hse)) cr_ |= kHseOn;
    if (sws == kSwPll) cr_ |= kPllOn;

    cr_ = (cr_ & kHsiOn) ? (cr_ | kHsiRdy) : (cr_ & ~kHsiRdy);
    cr_ = hse_ready() ? (cr_ | kHseRdy) : (cr_ & ~kHseRdy);
    const bool pll_input = pll_from_hse ? (cr_ & kHseRdy) != 0 : (cr_ & kHsiRdy) != 0;
    cr_ = (cr_ & kPllOn) && pll_input ? (cr_ | kPllRdy) : (cr_ & ~kPllRdy);

    const uint32_t sw = cfgr_ & kSw;
    if (sw != sws && source_ready(sw)) cfgr_ = (cfgr_ & ~kSws) | (sw << 2);
  }
  bdcr_ = (bdcr_ & kLseOn) ? (bdcr_ | kLseRdy) : (bdcr_ & ~kLseRdy);
  csr_ = (csr_ & kLsiOn) ? (csr_ | kLsiRdy) : (csr_ & ~kLsiRdy);

  const uint32_t ready_after = ((csr_ & kLsiRdy) ? 1u : 0u) | ((bdcr_ & kLseRdy) ? 2u : 0u) |
                               ((cr_ & kHsiRdy) ? 4u : 0u) | ((cr_ & kHseRdy) ? 8u : 0u) |
                               ((cr_ & kPllRdy) ? 16u : 0u);
  // A ready interrupt flag rises only if its interrupt is enabled.
  cir_ |= ready_after & ~ready_before & ((cir_ & kCirEnables) >> 8);
  timer_hz_apb1_ = compute_timer_clock_hz(true);
  timer_hz_apb2_ = compute_timer_clock_hz(false);
  tell_hclk();
}

uint32_t Rcc::read(uint32_t offset) {
  settle();
  switch (offset) {
    case kCR:
      return cr_;
    case kCFGR:
      return cfgr_;
    case kCIR:
      return cir_;
    case kAPB2RSTR:
      return apb2rstr_;
    case kAPB1RSTR:
      return apb1rstr_;
    case kAHBENR:
      return ahbenr_;
    case kAPB2ENR:
      return apb2enr_;
    case kAPB1ENR:
      return apb1enr_;
    case kBDCR:
      return bdcr_;
    case kCSR:
      return csr_;
    default:
      return 0;
  }
}

void Rcc::write(uint32_t offset, uint32_t value) {
  switch (offset) {
    case kCR:
      write_cr(value);
      break;
    case kCFGR:
      write_cfgr(value);
      break;
    case kCIR:
      write_cir(value);
      break;
    case kAPB2RSTR:
      write_rstr(apb2rstr_, value, kApb2Mask, kApb2);
      break;
    case kAPB1RSTR:
      write_rstr(apb1rstr_, value, kApb1Mask, kApb1);
      break;
    case kAHBENR:
      ahbenr_ = value & kAhbMask;
      break;
    case kAPB2ENR:
      apb2enr_ = value & kApb2Mask;
      break;
    case kAPB1ENR:
      apb1enr_ = value & kApb1Mask;
      break;
    case kBDCR:
      write_bdcr(value);
      break;
    case kCSR:
      csr_ = (csr_ & ~kLsiOn) | (value & kLsiOn);
      if (value & kRmvf) csr_ &= ~kResetFlags;
      break;
    default:
      break;
  }
  settle();
  if (offset == kCR || offset == kCFGR) check_clocks();
}

uint32_t flash_latency_needed(uint32_t sysclk_hz) {
  return sysclk_hz <= 24000000 ? 0 : sysclk_hz <= 48000000 ? 1 : 2;
}

std::string clock_tree_problem(const ClockTree& c, uint32_t latency) {
  char text[200];
  auto mhz = [](uint32_t hz) { return static_cast<double>(hz) / 1e6; };
  if (c.pll > 72000000) {
    std::snprintf(text, sizeof text,
                  "RCC.CFGR: PLL output %g MHz, above its 72 MHz limit (the chip is not rated for it and "
                  "may run wrong)",
                  mhz(c.pll));
  } else if (latency < flash_latency_needed(c.sysclk)) {
    std::snprintf(
        text, sizeof text,
        "FLASH.ACR: LATENCY=%u with SYSCLK at %g MHz, which needs %u wait state(s) (the chip reads wrong "
        "instructions and data from the flash)",
        latency, mhz(c.sysclk), flash_latency_needed(c.sysclk));
  } else if (c.pclk1 > 36000000) {
    std::snprintf(text, sizeof text,
                  "RCC.CFGR: APB1 at %g MHz, above its 36 MHz limit (PPRE1; the APB1 peripherals run "
                  "beyond their rating)",
                  mhz(c.pclk1));
  } else if (c.pclk2 > 72000000) {
    std::snprintf(text, sizeof text, "RCC.CFGR: APB2 at %g MHz, above its 72 MHz limit (PPRE2)",
                  mhz(c.pclk2));
  } else {
    return "";
  }
  return text;
}

ClockTree Rcc::clocks() const {
  return ClockTree{sysclk_hz(), hclk_hz(), pclk1_hz(), pclk2_hz(), (cr_ & kPllOn) ? pll_rate() : 0};
}

void Rcc::check_clocks() {
  if (rules_ == nullptr || flash_ == nullptr) return;
  const ClockTree c = clocks();
  const uint32_t latency = flash_->latency();
  if (c == checked_ && latency == checked_latency_) return;
  checked_ = c;
  checked_latency_ = latency;
  const std::string problem = clock_tree_problem(c, latency);
  if (!problem.empty()) rules_->broken(problem);
}

void Rcc::write_cr(uint32_t value) {
  uint32_t writable = kHsiOn | kHsiTrim | kHseOn | kCssOn | kPllOn;
  if ((cr_ & kHseOn) == 0) writable |= kHseByp;  // the bypass changes only with the crystal oscillator off
  if ((cr_ & kHseOn) == 0 && (value & kHseOn) && clock_ != nullptr) hse_on_at_ = clock_->now();
  cr_ = (cr_ & ~writable) | (value & writable);
}

void Rcc::write_cfgr(uint32_t value) {
  uint32_t writable = kCfgrWritable;
  if (cr_ & kPllOn) writable &= ~kPllFields;  // the PLL is configured only while it is off
  cfgr_ = (cfgr_ & ~writable) | (value & writable);
}

void Rcc::write_cir(uint32_t value) {
  cir_ = (cir_ & ~kCirEnables) | (value & kCirEnables);
  cir_ &= ~((value >> 16) & kCirFlags);
  if (value & kCssc) cir_ &= ~kCssf;
}

void Rcc::write_rstr(uint32_t& reg, uint32_t value, uint32_t mask, int bus) {
  const uint32_t asserted = value & ~reg & mask;
  reg = value & mask;
  for (const Gate& g : kGates) {
    if (g.bus != bus || ((asserted >> g.bit) & 1u) == 0) continue;
    if (g.base == kPwrBase) {
      pwr_.reset();
    } else if (reset_listener_) {
      reset_listener_(g.base);
    }
  }
}

void Rcc::write_bdcr(uint32_t value) {
  const bool was_reset = (bdcr_ & kBdRst) != 0;
  const bool in_reset = (value & kBdRst) != 0;
  bdcr_ = (bdcr_ & ~kBdRst) | (value & kBdRst);
  if (in_reset != was_reset) bkp_.hold_reset(in_reset);
  if (in_reset) {
    bdcr_ &= kBdRst;  // the domain's own bits are cleared with it
    return;
  }
  if (!pwr_.backup_writable()) return;
  uint32_t writable = kLseOn | kRtcEn;
  if ((bdcr_ & kLseOn) == 0) writable |= kLseByp;
  if ((bdcr_ & kRtcSel) == 0) writable |= kRtcSel;  // chosen once per domain reset
  bdcr_ = (bdcr_ & ~writable) | (value & writable);
}

bool Rcc::stable(uint32_t offset) const {
  if (offset == kCR) {
    const bool hse_starting = (cr_ & kHseOn) != 0 && (cr_ & kHseRdy) == 0;
    const bool pll_locking = (cr_ & kPllOn) != 0 && (cr_ & kPllRdy) == 0;
    return !hse_starting && !pll_locking;
  }
  if (offset == kCFGR) return (cfgr_ & kSw) == ((cfgr_ & kSws) >> 2);
  return true;
}

uint32_t Rcc::sysclk_hz() const {
  switch ((cfgr_ & kSws) >> 2) {
    case kSwHse:
      return kHseHz;
    case kSwPll:
      return pll_rate();
    default:
      return kHsiHz;
  }
}

uint32_t Rcc::pll_rate() const {
  const uint32_t mul = std::min<uint32_t>(((cfgr_ & kPllMul) >> 18) + 2, 16);
  uint32_t in = kHsiHz / 2;
  if (cfgr_ & kPllSrc) in = (cfgr_ & kPllXtpre) ? kHseHz / 2 : kHseHz;
  return in * mul;
}

uint32_t Rcc::hclk_hz() const {
  const uint32_t hpre = (cfgr_ >> 4) & 0xFu;
  if (hpre < 8) return sysclk_hz();
  static constexpr uint32_t kDiv[8] = {2, 4, 8, 16, 64, 128, 256, 512};
  return sysclk_hz() / kDiv[hpre - 8];
}

uint32_t Rcc::apb_divider(uint32_t ppre) const { return ppre < 4 ? 1u : 2u << (ppre - 4); }

uint32_t Rcc::pclk1_hz() const { return hclk_hz() / apb_divider((cfgr_ >> 8) & 0x7u); }

uint32_t Rcc::pclk2_hz() const { return hclk_hz() / apb_divider((cfgr_ >> 11) & 0x7u); }

uint32_t Rcc::compute_timer_clock_hz(bool apb1) const {
  const uint32_t ppre = apb1 ? (cfgr_ >> 8) & 0x7u : (cfgr_ >> 11) & 0x7u;
  const uint32_t pclk = apb1 ? pclk1_hz() : pclk2_hz();
  return apb_divider(ppre) == 1 ? pclk : pclk * 2;
}

Rcc::ClockGate Rcc::gate(uint32_t peripheral_base) const {
  static constexpr uint32_t kNoClock = 0;
  for (const Gate& g : kGates) {
    if (g.base != peripheral_base) continue;
    const uint32_t mask = 1u << g.bit;
    switch (g.bus) {
      case kAhb:
        return {&ahbenr_, mask};
      case kApb1:
        return {&apb1enr_, mask};
      case kApb2:
        return {&apb2enr_, mask};
      case kAlways:
        return {nullptr, 0};
    }
  }
  return {&kNoClock, 1};
}

bool Rcc::clocked(uint32_t peripheral_base) const {
  const ClockGate g = gate(peripheral_base);
  return g.enable == nullptr || (*g.enable & g.mask) != 0;
}

}  // namespace board
