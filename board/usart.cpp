#include "usart.h"

#include <cmath>
#include <cstdio>
#include <string>

#include "gpio.h"
#include "rcc.h"
#include "rules.h"

namespace board {

namespace {
constexpr uint32_t kUE = 1u << 13, kTE = 1u << 3, kRE = 1u << 2, kM = 1u << 12;
constexpr int kEventPriority = 10;
}  // namespace

uint8_t sampled_byte(uint8_t byte, double sender_baud, double receiver_baud, bool& framing_error) {
  // The sender's line at time t (in the sender's bits): start, data LSB first, stop, idle.
  auto level = [&](double sender_bits) {
    const long bit = static_cast<long>(std::floor(sender_bits));
    if (bit <= 0) return bit == 0 ? 0 : 1;
    if (bit <= 8) return (byte >> (bit - 1)) & 1;
    return 1;
  };
  const double ratio = sender_baud > 0 ? sender_baud / receiver_baud : 1e9;
  uint8_t read = 0;
  for (int k = 0; k < 8; ++k) read |= static_cast<uint8_t>(level((1.5 + k) * ratio) << k);
  framing_error = level(9.5 * ratio) == 0;
  return read;
}

Usart::Usart(EventQueue& events, const Rcc& rcc, bool apb2) : events_(events), rcc_(rcc), apb2_(apb2) {}

double Usart::baud() const {
  const double bus_hz = apb2_ ? rcc_.pclk2_hz() : rcc_.pclk1_hz();
  return brr_ ? bus_hz / brr_ : 0;
}

bool Usart::baud_off() const { return std::fabs(baud() / kLineBaud - 1) > kBaudTolerance; }

bool Usart::line_ok(uint8_t& byte) {
  if (port_ == nullptr) return true;
  const uint8_t m = port_->mode(tx_pin_);
  if ((m & 0x3u) == 0 || (m & 0x8u) == 0) {
    if (rules_)
      rules_->broken(std::string(name_) + ".DR: a byte sent while its TX pin PA" + std::to_string(tx_pin_) +
                     " is not an alternate-function output (GPIOA.CR" + (tx_pin_ >= 8 ? "H" : "L") +
                     "): it never reaches the line");
    return false;
  }
  if (baud_off()) {
    bool framing = false;
    byte = sampled_byte(byte, baud(), kLineBaud, framing);
    if (rules_) {
      char what[160];
      std::snprintf(what, sizeof what,
                    "%s.BRR: the line runs at %.0f baud, %.1f %% off 115200: the far end reads bytes garbled",
                    name_, baud(), (baud() / kLineBaud - 1) * 100);
      rules_->broken(what);
    }
  }
  return true;
}

bool Usart::rx_pin_ok() {
  if (port_ == nullptr) return true;
  // MODE 00 is an input; CNF 00 with it is analog, the input buffer off.
  const uint8_t m = port_->mode(rx_pin_);
  if ((m & 0x3u) == 0 && m != 0) return true;
  if (rules_)
    rules_->broken(std::string("GPIOA.CR") + (rx_pin_ >= 8 ? "H" : "L") + ": a byte arrived for " + name_ +
                   " while its RX pin PA" + std::to_string(rx_pin_) + " is " +
                   ((m & 0x3u) ? "an output" : "an analog input") + ": the receiver does not hear it");
  return false;
}

Cycles Usart::char_time() const {
  const uint32_t stop_bits = ((cr2_ >> 12) & 3u) == 2 ? 2 : 1;
  const uint32_t bits = 1 + ((cr1_ & kM) ? 9 : 8) + stop_bits;
  const uint32_t divisor = brr_ ? brr_ : 1;
  const uint64_t bus_hz = apb2_ ? rcc_.pclk2_hz() : rcc_.pclk1_hz();
  return static_cast<Cycles>(bits) * divisor * kCpuHz / (bus_hz ? bus_hz : kCpuHz);
}

uint32_t Usart::peek(uint32_t offset) { return offset == kDR ? rdr_ : read(offset); }

uint32_t Usart::read(uint32_t offset) {
  switch (offset) {
    case kSR:
      return sr_;
    case kDR: {
      const bool had = sr_ & kRXNE;
      sr_ &= ~(kRXNE | kORE | kFE);
      if (had && rx_taken_) rx_taken_();
      return rdr_;
    }
    case kBRR:
      return brr_;
    case kCR1:
      return cr1_;
    case kCR2:
      return cr2_;
    case kCR3:
      return cr3_;
    case kGTPR:
      return gtpr_;
    default:
      return 0;
  }
}

void Usart::write(uint32_t offset, uint32_t value) {
  switch (offset) {
    case kSR:  // RXNE and TC clear by writing 0; the rest is read-only
      sr_ &= value | ~(kRXNE | kTC);
      break;
    case kDR:
      if (!enabled(kTE)) {
        if (rules_)
          rules_->broken(std::string(name_) + ".DR: a byte written with UE or TE clear: it is not sent");
        break;
      }
      if (!shifting_) {
        start(static_cast<uint8_t>(value));
      } else {
        held_ = static_cast<uint8_t>(value);
        holding_ = true;
        sr_ &= ~kTXE;
      }
      break;
    case kBRR:
      brr_ = value & 0xFFFFu;
      break;
    case kCR1:
      cr1_ = value & 0x3FFFu;
      break;
    case kCR2:
      cr2_ = value & 0x7F7Fu;
      break;
    case kCR3:
      cr3_ = value & 0x7FFu;
      break;
    case kGTPR:
      gtpr_ = value & 0xFFFFu;
      break;
    default:
      break;
  }
}

void Usart::start(uint8_t byte) {
  shifting_ = true;
  sr_ &= ~kTC;
  ++sent_;
  const uint8_t on_pin = byte;
  if (line_ok(byte)) {
    const double bit_cycles = baud() > 0 ? kCpuHz / baud() : 0;
    for (const auto& fn : frame_watchers_) fn(true, events_.now(), bit_cycles, on_pin);
    if (tx_sink_) tx_sink_(byte);
  }
  events_.schedule(events_.now() + char_time(), kEventPriority, shift_done, this, token_);
}

void Usart::shift_done(void* ctx, uint64_t token) {
  auto* u = static_cast<Usart*>(ctx);
  if (token != u->token_) return;
  u->shifting_ = false;
  if (u->tx_done_) u->tx_done_();
  if (u->holding_) {
    u->holding_ = false;
    u->sr_ |= kTXE;
    u->start(u->held_);
  } else {
    u->sr_ |= kTC;
  }
}

void Usart::reset() {
  const bool had = sr_ & kRXNE;
  sr_ = kTC | kTXE;
  rdr_ = brr_ = cr1_ = cr2_ = cr3_ = gtpr_ = 0;
  shifting_ = holding_ = false;
  held_ = 0;
  ++token_;
  if (had && rx_taken_) rx_taken_();
}

bool Usart::receive(uint8_t byte) {
  if (on_input) on_input(byte);
  constexpr double kLineBit = kCpuHz / kLineBaud;
  const Cycles frame = static_cast<Cycles>(10 * kLineBit);
  const Cycles now = events_.now();
  for (const auto& fn : frame_watchers_) fn(false, now > frame ? now - frame : 0, kLineBit, byte);
  if (!rx_pin_ok()) return false;
  if (!enabled(kRE) || (sr_ & kRXNE)) {
    if (sr_ & kRXNE) sr_ |= kORE;
    ++lost_;
    return false;
  }
  sr_ &= ~kFE;
  if (port_ != nullptr && baud_off()) {
    bool framing = false;
    byte = sampled_byte(byte, kLineBaud, baud(), framing);
    if (framing) sr_ |= kFE;
    if (rules_) {
      char what[160];
      std::snprintf(what, sizeof what,
                    "%s.BRR: a byte arrived at 115200 baud on a line set to %.0f baud: it is read garbled",
                    name_, baud());
      rules_->broken(what);
    }
  }
  rdr_ = byte;
  sr_ |= kRXNE;
  return true;
}

}  // namespace board
