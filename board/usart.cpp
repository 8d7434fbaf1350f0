#include "usart.h"

#include "rcc.h"

namespace board {

namespace {
constexpr uint32_t kUE = 1u << 13, kTE = 1u << 3, kRE = 1u << 2, kM = 1u << 12;
constexpr int kEventPriority = 10;
}  // namespace

Usart::Usart(EventQueue& events, const Rcc& rcc, bool apb2) : events_(events), rcc_(rcc), apb2_(apb2) {}

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
      sr_ &= ~(kRXNE | kORE);
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
      if (!enabled(kTE)) break;
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
  if (tx_sink_) tx_sink_(byte);
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
  if (!enabled(kRE) || (sr_ & kRXNE)) {
    if (sr_ & kRXNE) sr_ |= kORE;
    ++lost_;
    return false;
  }
  rdr_ = byte;
  sr_ |= kRXNE;
  return true;
}

}  // namespace board
