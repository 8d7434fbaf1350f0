// The GDB remote protocol's framing: `$payload#xx` with a two-digit checksum,
// `}` escapes (the next byte XOR 0x20), the acknowledgements `+` and `-`, and the
// interrupt byte 0x03 between packets. Pure functions and a byte-by-byte reader,
// so that tests and the fuzzer can feed them anything.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace emu::gdb {

// The largest payload accepted (after unescaping) and advertised as PacketSize.
constexpr size_t kMaxPayload = 0x4000;

uint8_t checksum(std::string_view bytes);

// `payload` framed for sending: `$`, `#`, `}` and `*` escaped (so that gdb reads
// no run-length encoding), then the checksum.
std::string frame(std::string_view payload);

// Hex text of bytes, two lower-case digits each.
std::string hex(const uint8_t* bytes, size_t n);
std::string hex(std::string_view bytes);
// A 32-bit value as the target holds it in memory (little-endian), as hex.
std::string hex_le32(uint32_t value);
// Pairs of hex digits back to bytes; false on an odd length or a non-digit.
bool unhex(std::string_view text, std::string& out);
// A whole field of hex digits as a number; false if empty, not hex, or too long.
bool parse_hex(std::string_view text, uint64_t& out);

// What the debugger sent, split into its parts as bytes arrive.
class PacketReader {
 public:
  struct Event {
    enum class Kind { packet, bad_packet, interrupt, ack, nack };
    Kind kind;
    std::string payload;  // packet: unescaped
  };

  // Appends the events completed by `data` to `out`; a packet may span calls.
  void feed(const uint8_t* data, size_t n, std::vector<Event>& out);
  // Whether a packet has begun and not yet ended.
  bool inside() const { return state_ != State::idle; }

 private:
  enum class State { idle, payload, escape, sum_high, sum_low };
  State state_ = State::idle;
  std::string payload_;
  uint8_t sum_ = 0;
  uint8_t received_sum_ = 0;
  bool overlong_ = false;
  bool bad_digit_ = false;
};

}  // namespace emu::gdb
