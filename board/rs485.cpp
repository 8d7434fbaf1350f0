#include "rs485.h"

#include "gpio.h"
#include "usart.h"

namespace board {

namespace {
constexpr int kDriverEnable = 4;
}

Rs485::Rs485(Usart& usart, Gpio& porta) : usart_(usart), porta_(porta) {
  usart_.set_tx_sink([this](uint8_t byte) {
    if (in_flight_) ++lost_;  // cut short by the next one: cannot happen with a polled sender
    in_flight_ = porta_.level(kDriverEnable);
    byte_ = byte;
    if (!in_flight_) ++lost_;
  });
  usart_.set_tx_done([this] {
    if (!in_flight_) return;
    in_flight_ = false;
    ++sent_;
    if (on_byte) on_byte(byte_);
  });
  porta_.add_listener([this](int pin, bool level) {
    if (pin == kDriverEnable && !level && in_flight_) {
      in_flight_ = false;
      ++lost_;
    }
  });
}

}  // namespace board
