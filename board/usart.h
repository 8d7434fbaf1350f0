// USART register model: a byte written to DR goes out on the line and TC rises one
// character time later; an arriving byte sets RXNE, and a byte arriving while RXNE
// is still set is lost (overrun).
#pragma once
#include <cstdint>
#include <functional>

#include "event_queue.h"
#include "peripheral.h"

namespace board {

class Rcc;

class Usart : public Peripheral {
 public:
  static constexpr uint32_t kSR = 0x00, kDR = 0x04, kBRR = 0x08, kCR1 = 0x0C, kCR2 = 0x10, kCR3 = 0x14,
                            kGTPR = 0x18;
  static constexpr uint32_t kRXNE = 1u << 5, kTC = 1u << 6, kTXE = 1u << 7, kORE = 1u << 3;

  // `apb2` selects the bus clock the baud-rate divisor counts.
  Usart(EventQueue& events, const Rcc& rcc, bool apb2);

  uint32_t read(uint32_t offset) override;
  uint32_t peek(uint32_t offset) override;  // DR without clearing RXNE and ORE
  void write(uint32_t offset, uint32_t value) override;

  // The line side.
  void set_tx_sink(std::function<void(uint8_t)> sink) { tx_sink_ = std::move(sink); }
  void set_rx_taken(std::function<void()> listener) { rx_taken_ = std::move(listener); }
  // Called when a byte has left the shift register.
  void set_tx_done(std::function<void()> listener) { tx_done_ = std::move(listener); }
  // A system reset: registers back to their reset values, a byte being shifted
  // out is cut off; a received byte not yet read is dropped as if read, so that
  // the line moves on.
  void reset();
  // A byte arrives from the line; false if it was lost.
  bool receive(uint8_t byte);
  bool rx_full() const { return sr_ & kRXNE; }
  // Switched on to receive, with the data register empty.
  bool accepting() const { return enabled(1u << 2) && !(sr_ & kRXNE); }
  // Cycles one character takes on the line at the current settings.
  Cycles char_time() const;
  uint64_t bytes_lost() const { return lost_; }
  uint64_t bytes_sent() const { return sent_; }

 private:
  bool enabled(uint32_t bit) const { return (cr1_ & (1u << 13)) && (cr1_ & bit); }
  void start(uint8_t byte);
  static void shift_done(void* ctx, uint64_t token);

  EventQueue& events_;
  const Rcc& rcc_;
  bool apb2_;
  uint32_t sr_ = kTC | kTXE;
  uint32_t rdr_ = 0, brr_ = 0, cr1_ = 0, cr2_ = 0, cr3_ = 0, gtpr_ = 0;
  bool shifting_ = false, holding_ = false;
  uint8_t held_ = 0;
  uint64_t lost_ = 0, sent_ = 0;
  uint64_t token_ = 0;  // the shift_done event that still counts
  std::function<void(uint8_t)> tx_sink_;
  std::function<void()> rx_taken_;
  std::function<void()> tx_done_;
};

}  // namespace board
