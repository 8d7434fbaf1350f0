#include "keypad.h"

#include "gpio.h"

namespace board {

namespace {

struct Wiring {
  int drive, sense;
};
// Indexed by Key: up, down, esc, enter, start, stop.
constexpr Wiring kWiring[kKeyCount] = {{10, 4}, {13, 4}, {10, 6}, {13, 6}, {10, 7}, {13, 7}};
constexpr int kSenseLines[] = {4, 6, 7};

}  // namespace

Keypad::Keypad(Gpio& portc) : port_(portc) {
  port_.add_listener([this](int pin, bool) {
    if (pin == 10 || pin == 13) update();
  });
}

void Keypad::press(Key k) {
  if (on_input) on_input(k, true);
  held_ |= 1u << static_cast<int>(k);
  update();
}

void Keypad::release(Key k) {
  if (on_input) on_input(k, false);
  held_ &= ~(1u << static_cast<int>(k));
  update();
}

void Keypad::update() {
  // Scanning runs all the time; with no key held and no line pulled there is nothing to do.
  if (held_ == 0 && pulled_ == 0) return;
  for (int sense : kSenseLines) {
    bool pulled_low = false;
    for (int k = 0; k < kKeyCount; ++k) {
      if ((held_ >> k) & 1u && kWiring[k].sense == sense && !port_.level(kWiring[k].drive)) pulled_low = true;
    }
    const uint32_t bit = 1u << sense;
    if (pulled_low) {
      port_.drive(sense, false);
      pulled_ |= bit;
    } else if (pulled_ & bit) {
      port_.release(sense);
      pulled_ &= ~bit;
    }
  }
}

}  // namespace board
