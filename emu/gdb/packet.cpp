#include "packet.h"

namespace emu::gdb {

namespace {

constexpr char kDigits[] = "0123456789abcdef";
constexpr uint8_t kInterrupt = 0x03;

int digit_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

uint8_t checksum(std::string_view bytes) {
  uint8_t sum = 0;
  for (char c : bytes) sum = static_cast<uint8_t>(sum + static_cast<uint8_t>(c));
  return sum;
}

std::string frame(std::string_view payload) {
  std::string body;
  body.reserve(payload.size() + 8);
  for (char c : payload) {
    if (c == '$' || c == '#' || c == '}' || c == '*') {
      body.push_back('}');
      body.push_back(static_cast<char>(c ^ 0x20));
    } else {
      body.push_back(c);
    }
  }
  const uint8_t sum = checksum(body);
  std::string out = "$" + body + "#";
  out.push_back(kDigits[sum >> 4]);
  out.push_back(kDigits[sum & 15]);
  return out;
}

std::string hex(const uint8_t* bytes, size_t n) {
  std::string out;
  out.reserve(2 * n);
  for (size_t i = 0; i < n; ++i) {
    out.push_back(kDigits[bytes[i] >> 4]);
    out.push_back(kDigits[bytes[i] & 15]);
  }
  return out;
}

std::string hex(std::string_view bytes) {
  return hex(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

std::string hex_le32(uint32_t value) {
  const uint8_t b[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                        static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
  return hex(b, 4);
}

bool unhex(std::string_view text, std::string& out) {
  if (text.size() % 2 != 0) return false;
  out.clear();
  out.reserve(text.size() / 2);
  for (size_t i = 0; i < text.size(); i += 2) {
    const int hi = digit_value(text[i]), lo = digit_value(text[i + 1]);
    if (hi < 0 || lo < 0) return false;
    out.push_back(static_cast<char>(hi << 4 | lo));
  }
  return true;
}

bool parse_hex(std::string_view text, uint64_t& out) {
  if (text.empty() || text.size() > 16) return false;
  uint64_t v = 0;
  for (char c : text) {
    const int d = digit_value(c);
    if (d < 0) return false;
    v = v << 4 | static_cast<uint64_t>(d);
  }
  out = v;
  return true;
}

void PacketReader::feed(const uint8_t* data, size_t n, std::vector<Event>& out) {
  for (size_t i = 0; i < n; ++i) {
    const uint8_t c = data[i];
    switch (state_) {
      case State::idle:
        if (c == '$') {
          state_ = State::payload;
          payload_.clear();
          sum_ = 0;
          overlong_ = false;
          bad_digit_ = false;
        } else if (c == kInterrupt) {
          out.push_back({Event::Kind::interrupt, {}});
        } else if (c == '+') {
          out.push_back({Event::Kind::ack, {}});
        } else if (c == '-') {
          out.push_back({Event::Kind::nack, {}});
        }
        // Anything else between packets is line noise.
        break;
      case State::payload:
      case State::escape:
        if (c == '$') {
          // A packet begun again: the one before was cut short.
          out.push_back({Event::Kind::bad_packet, {}});
          payload_.clear();
          sum_ = 0;
          overlong_ = false;
          state_ = State::payload;
          break;
        }
        if (c == '#' && state_ == State::payload) {
          state_ = State::sum_high;
          break;
        }
        sum_ = static_cast<uint8_t>(sum_ + c);
        if (state_ == State::payload && c == '}') {
          state_ = State::escape;
          break;
        }
        if (payload_.size() >= kMaxPayload) {
          overlong_ = true;
        } else {
          payload_.push_back(static_cast<char>(state_ == State::escape ? c ^ 0x20 : c));
        }
        state_ = State::payload;
        break;
      case State::sum_high:
      case State::sum_low: {
        const int d = digit_value(static_cast<char>(c));
        if (d < 0) bad_digit_ = true;
        if (state_ == State::sum_high) {
          received_sum_ = static_cast<uint8_t>((d < 0 ? 0 : d) << 4);
          state_ = State::sum_low;
          break;
        }
        received_sum_ = static_cast<uint8_t>(received_sum_ | (d < 0 ? 0 : d));
        state_ = State::idle;
        if (bad_digit_ || overlong_ || received_sum_ != sum_) {
          out.push_back({Event::Kind::bad_packet, {}});
        } else {
          out.push_back({Event::Kind::packet, std::move(payload_)});
        }
        payload_.clear();
        break;
      }
    }
  }
}

}  // namespace emu::gdb
