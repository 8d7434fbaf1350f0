// USART register model: a byte written to DR goes out on the line and TC rises one
// character time later; an arriving byte sets RXNE, and a byte arriving while RXNE
// is still set is lost (overrun). Wired to its pins, it keeps the line's rules: a
// byte leaves only with UE and TE set and the TX pin an alternate-function output,
// one arrives only while the RX pin is a digital input, and the far end (at 115200 baud) reads a byte intact only while the line's real
// baud, from BRR and the bus clock, is within 2.5 % of it.
#pragma once
#include <cstdint>
#include <functional>
#include <vector>

#include "event_queue.h"
#include "peripheral.h"

namespace board {

class Gpio;
class Rcc;
class Rules;

constexpr double kLineBaud = 115200;      // every device on the unit's serial lines
constexpr double kBaudTolerance = 0.025;  // beyond this a receiver misreads the bits

// What a receiver at `receiver_baud` reads of `byte` sent at `sender_baud` (8N1,
// each bit sampled in its middle as timed from the start bit's falling edge);
// `framing_error` says whether the stop bit read low.
uint8_t sampled_byte(uint8_t byte, double sender_baud, double receiver_baud, bool& framing_error);

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

  // The pins the line leaves and arrives on (checked at each byte, `port` null: not
  // checked), the register's name in reports, and where broken line rules are reported.
  void wire(const Gpio* port, int tx_pin, int rx_pin, const char* name, Rules* rules) {
    port_ = port;
    tx_pin_ = tx_pin;
    rx_pin_ = rx_pin;
    name_ = name;
    rules_ = rules;
  }
  // The line's baud rate as BRR and the bus clock make it (0 without a divisor).
  double baud() const;
  static constexpr uint32_t kFE = 1u << 1;

  // Hears every frame on the line's pins: sent (`tx`, from now, at the line's real
  // baud) or received (ending now, at 115200 from the far end), one bit lasting
  // `bit_cycles`: idle high, a start bit, eight data bits from the least, a stop bit.
  using FrameWatcher = std::function<void(bool tx, Cycles start, double bit_cycles, uint8_t byte)>;
  void add_frame_watcher(FrameWatcher fn) { frame_watchers_.push_back(std::move(fn)); }

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
  // Hears every byte that arrives from the line, kept or lost, for recording.
  std::function<void(uint8_t)> on_input;
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

  // The byte as the far end reads it, with the line's rules checked.
  bool line_ok(uint8_t& byte);
  // Whether the receiver hears the RX pin (an input with its Schmitt trigger on).
  bool rx_pin_ok();
  bool baud_off() const;

  EventQueue& events_;
  const Rcc& rcc_;
  std::vector<FrameWatcher> frame_watchers_;
  const Gpio* port_ = nullptr;
  int tx_pin_ = 0, rx_pin_ = 0;
  const char* name_ = "USART";
  Rules* rules_ = nullptr;
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
