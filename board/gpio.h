// GPIO port register model. A pin's level outside follows its configuration: a
// push-pull output drives its latch (ODR) or, in alternate-function mode, what the
// peripheral drives; an open-drain output pulls low or lets go; an input shows what
// a device drives onto it, else its pull (the latch picks up or down), else reads
// 0 as a floating pin does here. Devices watch the levels through listeners.
#pragma once
#include <cstdint>
#include <functional>
#include <vector>

#include "peripheral.h"

namespace board {

class Gpio : public Peripheral {
 public:
  static constexpr uint32_t kCRL = 0x00, kCRH = 0x04, kIDR = 0x08, kODR = 0x0C, kBSRR = 0x10, kBRR = 0x14,
                            kLCKR = 0x18;
  static constexpr int kPins = 16;
  using Listener = std::function<void(int pin, bool level)>;

  explicit Gpio(char port) : port_(port) { update_modes(); }

  uint32_t read(uint32_t offset) override;
  void write(uint32_t offset, uint32_t value) override;

  char port() const { return port_; }
  // What the pin shows outside.
  bool level(int pin) const;
  // The pin's 4-bit CNF/MODE nibble.
  uint8_t mode(int pin) const;
  bool is_output(int pin) const { return (mode(pin) & 0x3u) != 0; }
  uint16_t odr() const { return odr_; }
  bool locked(int pin) const { return lock_active_ && ((lckr_ >> pin) & 1u); }

  // A device drives the pin from outside, or lets go of it.
  void drive(int pin, bool level);
  void release(int pin);
  // The peripheral output behind an alternate-function pin (USART TX, timer channel).
  void drive_alternate(int pin, bool level);

  // A system reset: every pin a floating input again, latch and lock cleared;
  // what devices drive from outside stays, and listeners hear the changes.
  void reset();
  // Called for every change of a pin's level, whatever caused it.
  void add_listener(Listener fn) { listeners_.push_back(std::move(fn)); }

 private:
  uint32_t cr(int pin) const { return pin < 8 ? crl_ : crh_; }
  bool pin_level(int pin) const;
  uint16_t levels() const;
  void update_modes();
  void notify(uint16_t before);
  void write_lckr(uint32_t value);
  uint32_t read_lckr();
  void write_cr(uint32_t& reg, uint32_t value, int first_pin);

  char port_;
  uint32_t crl_ = 0x44444444u, crh_ = 0x44444444u;  // every pin a floating input
  uint16_t odr_ = 0;
  uint16_t driven_ = 0, drive_level_ = 0, alternate_ = 0;
  // The configuration by pin sets, so that every pin's level is found at once.
  uint16_t outputs_ = 0, open_drain_ = 0, alternate_function_ = 0, pulled_ = 0, analog_ = 0;
  // Lock: the key sequence writes LCKK 1, 0, 1, then a read completes it.
  uint32_t lckr_ = 0;
  int lock_step_ = 0;
  bool lock_active_ = false;
  std::vector<Listener> listeners_;
};

}  // namespace board
