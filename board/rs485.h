// The RS485 transceiver on USART2: a byte reaches the bus only if the driver is
// enabled (PA4 high) from the moment it starts until it has been sent; any other
// byte is lost and counted.
#pragma once
#include <cstdint>
#include <functional>

namespace board {

class Gpio;
class Usart;

class Rs485 {
 public:
  Rs485(Usart& usart, Gpio& porta);
  // Every byte that leaves on the bus, in order.
  std::function<void(uint8_t)> on_byte;
  uint64_t bytes_lost() const { return lost_; }
  uint64_t bytes_sent() const { return sent_; }

 private:
  Usart& usart_;
  Gpio& porta_;
  bool in_flight_ = false;
  uint8_t byte_ = 0;
  uint64_t lost_ = 0, sent_ = 0;
};

}  // namespace board
