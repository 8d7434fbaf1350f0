#include "gpio.h"

namespace board {

namespace {

constexpr uint32_t kLckk = 1u << 16;

// CNF/MODE nibble fields
constexpr uint32_t kModeBits = 0x3u;
constexpr uint32_t kAnalog = 0x0u, kCnfPull = 0x8u;             // inputs
constexpr uint32_t kCnfOpenDrain = 0x4u, kCnfAlternate = 0x8u;  // outputs

}  // namespace

uint8_t Gpio::mode(int pin) const { return static_cast<uint8_t>((cr(pin) >> ((pin % 8) * 4)) & 0xFu); }

bool Gpio::pin_level(int pin) const {
  const uint32_t nibble = mode(pin);
  const uint16_t bit = static_cast<uint16_t>(1u << pin);
  const bool external = (driven_ & bit) != 0;
  const bool external_level = (drive_level_ & bit) != 0;
  if ((nibble & kModeBits) != 0) {
    const bool out = (nibble & kCnfAlternate) ? (alternate_ & bit) != 0 : (odr_ & bit) != 0;
    if ((nibble & kCnfOpenDrain) == 0) return out;
    // Open drain: low, or let go to whatever is on the line (high with nothing on it).
    return out && (!external || external_level);
  }
  if (external) return external_level;
  if ((nibble & 0xCu) == kCnfPull) return (odr_ & bit) != 0;
  return false;
}

bool Gpio::level(int pin) const { return pin >= 0 && pin < kPins && pin_level(pin); }

// pin_level() of all pins at once: a device reads the port at every write.
uint16_t Gpio::levels() const {
  const uint32_t out = (alternate_function_ & alternate_) | (~alternate_function_ & odr_);
  const uint32_t let_go = ~driven_ | drive_level_;
  const uint32_t output_level = out & (~open_drain_ | let_go);
  const uint32_t input_level = (driven_ & drive_level_) | (~driven_ & pulled_ & odr_);
  return static_cast<uint16_t>((outputs_ & output_level) | (~outputs_ & input_level));
}

void Gpio::update_modes() {
  outputs_ = open_drain_ = alternate_function_ = pulled_ = analog_ = 0;
  for (int pin = 0; pin < kPins; ++pin) {
    const uint32_t nibble = mode(pin);
    const auto bit = static_cast<uint16_t>(1u << pin);
    if ((nibble & kModeBits) != 0) {
      outputs_ |= bit;
      if (nibble & kCnfOpenDrain) open_drain_ |= bit;
      if (nibble & kCnfAlternate) alternate_function_ |= bit;
    } else if ((nibble & 0xCu) == kCnfPull) {
      pulled_ |= bit;
    } else if (nibble == kAnalog) {
      analog_ |= bit;
    }
  }
}

void Gpio::notify(uint16_t before) {
  const uint16_t after = levels();
  const uint16_t changed = before ^ after;
  if (changed == 0) return;
  for (int pin = 0; pin < kPins; ++pin) {
    if (((changed >> pin) & 1u) == 0) continue;
    for (const Listener& fn : listeners_) fn(pin, (after >> pin) & 1u);
  }
}

uint32_t Gpio::read(uint32_t offset) {
  switch (offset) {
    case kCRL:
      return crl_;
    case kCRH:
      return crh_;
    case kIDR: {
      // An analog pin's input buffer is off: it reads 0 whatever the level.
      return static_cast<uint16_t>(levels() & ~analog_);
    }
    case kODR:
      return odr_;
    case kLCKR:
      return read_lckr();
    default:
      return 0;  // BSRR and BRR are write-only
  }
}

void Gpio::write(uint32_t offset, uint32_t value) {
  const uint16_t before = levels();
  switch (offset) {
    case kCRL:
      write_cr(crl_, value, 0);
      break;
    case kCRH:
      write_cr(crh_, value, 8);
      break;
    case kODR:
      odr_ = static_cast<uint16_t>(value);
      break;
    case kBSRR: {
      // Set wins when a write asks both for the same pin.
      const auto set = static_cast<uint16_t>(value);
      const auto reset = static_cast<uint16_t>(value >> 16);
      odr_ = static_cast<uint16_t>((odr_ & ~reset) | set);
      break;
    }
    case kBRR:
      odr_ = static_cast<uint16_t>(odr_ & ~value);
      break;
    case kLCKR:
      write_lckr(value);
      break;
    default:
      break;
  }
  notify(before);
}

void Gpio::write_cr(uint32_t& reg, uint32_t value, int first_pin) {
  uint32_t keep = 0;
  for (int i = 0; i < 8; ++i) {
    if (locked(first_pin + i)) keep |= 0xFu << (i * 4);
  }
  reg = (reg & keep) | (value & ~keep);
  update_modes();
}

void Gpio::write_lckr(uint32_t value) {
  if (lock_active_) return;  // frozen until reset
  const uint32_t pins = value & 0xFFFFu;
  const bool key = (value & kLckk) != 0;
  // Writes 1, 0, 1 with the same pin bits; anything else starts over.
  const bool expected = (lock_step_ == 0 && key) || (lock_step_ == 1 && !key && pins == lckr_) ||
                        (lock_step_ == 2 && key && pins == lckr_);
  if (!expected) {
    lock_step_ = key ? 1 : 0;
    lckr_ = pins;
    return;
  }
  lckr_ = pins;
  ++lock_step_;
}

uint32_t Gpio::read_lckr() {
  if (lock_step_ == 3) {
    lock_step_ = 0;
    lock_active_ = true;
    return lckr_;  // the first read of the sequence still shows LCKK 0
  }
  return lckr_ | (lock_active_ ? kLckk : 0u);
}

void Gpio::reset() {
  const uint16_t before = levels();
  crl_ = crh_ = 0x44444444u;
  odr_ = 0;
  lckr_ = 0;
  lock_step_ = 0;
  lock_active_ = false;
  update_modes();
  notify(before);
}

void Gpio::drive(int pin, bool level) {
  if (pin < 0 || pin >= kPins) return;
  const uint16_t before = levels();
  const auto bit = static_cast<uint16_t>(1u << pin);
  driven_ |= bit;
  drive_level_ = static_cast<uint16_t>(level ? (drive_level_ | bit) : (drive_level_ & ~bit));
  notify(before);
}

void Gpio::release(int pin) {
  if (pin < 0 || pin >= kPins) return;
  const uint16_t before = levels();
  driven_ = static_cast<uint16_t>(driven_ & ~(1u << pin));
  notify(before);
}

void Gpio::drive_alternate(int pin, bool level) {
  if (pin < 0 || pin >= kPins) return;
  const uint16_t before = levels();
  const auto bit = static_cast<uint16_t>(1u << pin);
  alternate_ = static_cast<uint16_t>(level ? (alternate_ | bit) : (alternate_ & ~bit));
  notify(before);
}

}  // namespace board
