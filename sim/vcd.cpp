#include "vcd.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace sim {

namespace {

constexpr int kEventPriority = 40;  // after the timer's own update at the same cycle
// How far behind virtual time changes are written: longer than a byte on the
// slowest line a divisor may make (a received byte's bits lie one frame back).
constexpr board::Cycles kHoldBack = board::kCpuHz / 500;  // 2 ms

// The serial lines' pins: USART1 TX, RX, USART2 TX, RX.
constexpr const char* kSerialPins[] = {"pa9", "pa10", "pa2", "pa3"};

struct PinName {
  int port;  // 0 A, 1 B, 2 C
  int pin;
  const char* name;
};
constexpr PinName kPins[] = {
    {0, 4, "pa4"},     {0, 5, "pa5"},     {1, 8, "pb8"},     {2, 0, "lcd_d4"},    {2, 1, "lcd_d5"},
    {2, 2, "lcd_d6"},  {2, 3, "lcd_d7"},  {2, 5, "lcd_e"},   {2, 8, "lcd_rs"},    {2, 9, "lcd_rw"},
    {2, 4, "key_pc4"}, {2, 6, "key_pc6"}, {2, 7, "key_pc7"}, {2, 10, "key_pc10"}, {2, 13, "key_pc13"},
};

// Nanoseconds, the file's time unit.
unsigned long long ns(board::Cycles c) { return c * 125ull / 9ull; }  // 1000 / 72

std::vector<std::string> split(const std::string& list) {
  std::vector<std::string> out;
  size_t pos = 0;
  while (pos <= list.size() && !list.empty()) {
    const size_t comma = list.find(',', pos);
    out.push_back(list.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos));
    if (comma == std::string::npos) break;
    pos = comma + 1;
  }
  return out;
}

// The names in any case: datasheets write PA5.
std::vector<std::string> lower(std::vector<std::string> names) {
  for (auto& name : names)
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return names;
}

}  // namespace

const std::vector<std::string>& vcd_signal_names() {
  static const std::vector<std::string> names = [] {
    std::vector<std::string> n;
    for (const auto& p : kPins) n.emplace_back(p.name);
    for (const char* s : kSerialPins) n.emplace_back(s);
    for (const char* s : {"pa6", "pa7", "tim3_ccr1", "tim3_ccr2", "motor_rpm"}) n.emplace_back(s);
    return n;
  }();
  return names;
}

std::string vcd_signals_problem(const std::string& list) {
  const auto& all = vcd_signal_names();
  for (const auto& name : split(list))
    if (std::find(all.begin(), all.end(), lower({name})[0]) == all.end())
      return "unknown signal '" + name + "'";
  return "";
}

Vcd::Vcd(board::Board& b, const std::string& path, const std::string& signals)
    : board_(b), out_(path), selected_(lower(split(signals))) {
  if (!out_.is_open()) return;
  for (auto& port : pin_signal_) std::fill(std::begin(port), std::end(port), -1);
  for (const auto& p : kPins)
    if (wanted(p.name)) pin_signal_[p.port][p.pin] = add(p.name, 1);
  for (int ch = 0; ch < 2; ++ch) {
    if (wanted(ch ? "pa7" : "pa6")) pwm_[ch] = add(ch ? "pa7" : "pa6", 1);
    if (wanted(ch ? "tim3_ccr2" : "tim3_ccr1")) ccr_[ch] = add(ch ? "tim3_ccr2" : "tim3_ccr1", 16);
  }
  if (wanted("motor_rpm")) rpm_ = add("motor_rpm", 0);
  int serial[4];
  for (int i = 0; i < 4; ++i) serial[i] = wanted(kSerialPins[i]) ? add(kSerialPins[i], 1) : -1;

  FILE* f = out_.get();
  std::fputs("$version tarvik-sim $end\n$timescale 1ns $end\n$scope module board $end\n", f);
  for (const auto& s : signals_)
    std::fprintf(f, "$var %s %d %s %s $end\n", s.width ? "wire" : "real", s.width ? s.width : 64,
                 s.id.c_str(), s.name.c_str());
  std::fputs("$upscope $end\n$enddefinitions $end\n", f);

  // Initial values, then every change as it happens.
  board::Gpio* ports[3] = {&b.gpioa, &b.gpiob, &b.gpioc};
  for (int port = 0; port < 3; ++port) {
    for (int pin = 0; pin < 16; ++pin)
      if (pin_signal_[port][pin] >= 0) bit(pin_signal_[port][pin], ports[port]->level(pin), b.now());
    ports[port]->add_listener([this, port](int pin, bool level) {
      if (pin_signal_[port][pin] >= 0) bit(pin_signal_[port][pin], level, board_.now());
    });
  }
  for (int ch = 0; ch < 2; ++ch)
    if (ccr_[ch] >= 0) vector(ccr_[ch], b.tim3.compare(ch + 1), b.now());
  if (rpm_ >= 0) {
    change(rpm_, "r0", b.now());
    b.motor.add_step_watcher([this](board::Cycles at, double rpm) {
      char text[32];
      std::snprintf(text, sizeof text, "r%.1f", rpm);
      change(rpm_, text, at);
    });
  }
  for (int u = 0; u < 2; ++u) {
    const int tx = serial[2 * u], rx = serial[2 * u + 1];
    for (int line : {tx, rx})
      if (line >= 0) bit(line, true, b.now());  // idle
    if (tx < 0 && rx < 0) continue;
    (u == 0 ? b.usart1 : b.usart2)
        .add_frame_watcher([this, tx, rx](bool sent, board::Cycles start, double bit_cycles, uint8_t byte) {
          if ((sent ? tx : rx) >= 0) frame(sent ? tx : rx, start, bit_cycles, byte);
        });
  }
  pwm_static();
  b.tim3.add_write_listener([this](uint32_t offset, uint32_t value) {
    if (offset == board::Timer::kCCR1 && ccr_[0] >= 0) vector(ccr_[0], value & 0xFFFF, board_.now());
    if (offset == board::Timer::kCCR2 && ccr_[1] >= 0) vector(ccr_[1], value & 0xFFFF, board_.now());
    if (offset == board::Timer::kCR1 || offset == board::Timer::kCCMR1 || offset == board::Timer::kCCER ||
        offset == board::Timer::kEGR)
      pwm_static();
  });
  // A reset clears the compare registers and stops the PWM without a write.
  b.add_reset_listener([this] {
    for (int ch = 0; ch < 2; ++ch)
      if (ccr_[ch] >= 0) vector(ccr_[ch], board_.tim3.compare(ch + 1), board_.now());
    pwm_static();
  });
}

bool Vcd::wanted(const std::string& name) const {
  return selected_.empty() || std::find(selected_.begin(), selected_.end(), name) != selected_.end();
}

int Vcd::add(const std::string& name, int width) {
  // Identifiers: printable characters from '!' on.
  std::string id;
  for (size_t n = signals_.size();; n /= 94) {
    id += static_cast<char>('!' + n % 94);
    if (n < 94) break;
  }
  signals_.push_back(Signal{name, id, width, ""});
  return static_cast<int>(signals_.size()) - 1;
}

Vcd::~Vcd() { flush(); }

void Vcd::frame(int signal, board::Cycles start, double bit_cycles, uint8_t byte) {
  for (int i = 0; i <= 9; ++i) {
    const bool level = i == 0 ? false : i == 9 ? true : ((byte >> (i - 1)) & 1u) != 0;
    bit(signal, level, start + static_cast<board::Cycles>(i * bit_cycles + 0.5));
  }
}

void Vcd::change(int signal, const std::string& value, board::Cycles at) {
  if (!out_.is_open()) return;
  held_.emplace(std::max(at, flushed_to_), Held{signal, value});
  const board::Cycles now = board_.now();
  if (now < kHoldBack) return;
  flushed_to_ = std::max(flushed_to_, now - kHoldBack);
  while (!held_.empty() && held_.begin()->first <= flushed_to_) {
    write(held_.begin()->second.signal, held_.begin()->second.value, held_.begin()->first);
    held_.erase(held_.begin());
  }
}

void Vcd::flush() {
  for (const auto& [at, h] : held_) {
    write(h.signal, h.value, at);
    flushed_to_ = at;
  }
  held_.clear();
  if (out_.get()) std::fflush(out_.get());
}

void Vcd::write(int signal, const std::string& value, board::Cycles at) {
  Signal& s = signals_[signal];
  if (s.last == value) return;
  s.last = value;
  if (at != written_at_) {
    std::fprintf(out_.get(), "#%llu\n", ns(at));
    written_at_ = at;
  }
  if (s.width == 1)
    std::fprintf(out_.get(), "%s%s\n", value.c_str(), s.id.c_str());
  else
    std::fprintf(out_.get(), "%s %s\n", value.c_str(), s.id.c_str());
}

void Vcd::vector(int signal, uint32_t value, board::Cycles at) {
  std::string bits = "b";
  bool any = false;
  for (int i = 15; i >= 0; --i) {
    const bool one = (value >> i) & 1u;
    if (one || any || i == 0) bits += one ? '1' : '0';
    any |= one;
  }
  change(signal, bits, at);
}

// The PWM inputs: a counting timer in a PWM mode gives two edges a period, which
// are written as they happen; anything else holds a level.
void Vcd::pwm_static() {
  if (pwm_[0] < 0 && pwm_[1] < 0) return;
  board::Timer& t = board_.tim3;
  const bool pwm = t.counting() && !t.blocked() && (t.oc_mode(1) >= 6 || t.oc_mode(2) >= 6);
  if (pwm) {
    if (pwm_token_ & 1) return;  // already following the periods
    pwm_token_ = (pwm_token_ + 2) | 1;
    board_.events.schedule_marker(t.period_start(), kEventPriority, pwm_period_event, this, pwm_token_);
    return;
  }
  pwm_token_ = (pwm_token_ + 2) & ~uint64_t{1};
  for (int ch = 0; ch < 2; ++ch)
    if (pwm_[ch] >= 0) bit(pwm_[ch], t.high_fraction(ch + 1) > 0.5, board_.now());
}

void Vcd::pwm_period_event(void* self, uint64_t token) {
  auto* v = static_cast<Vcd*>(self);
  if (token != v->pwm_token_) return;
  v->pwm_period();
}

void Vcd::pwm_period() {
  board::Timer& t = board_.tim3;
  const board::Cycles start = t.period_start(), tick = t.tick_cycles();
  if (t.blocked()) return pwm_static();  // a null auto-reload came in: no more periods
  const board::Cycles now = board_.now();
  for (int ch = 0; ch < 2; ++ch) {
    if (pwm_[ch] < 0) continue;
    const double share = t.high_fraction(ch + 1);
    if (share <= 0.0 || share >= 1.0) {
      bit(pwm_[ch], share >= 1.0, now);
      continue;
    }
    // High from the start of the period until the compare value (PWM mode 1), or
    // the other way round.
    const bool first = t.oc_mode(ch + 1) == 6;
    bit(pwm_[ch], first, now);
    board_.events.schedule_marker(start + t.compare(ch + 1) * tick, kEventPriority, pwm_fall_event, this,
                                  static_cast<uint64_t>(ch) | (first ? 0 : 2) | (pwm_token_ << 2));
  }
  board_.events.schedule_marker(start + (t.autoreload() + 1ull) * tick, kEventPriority, pwm_period_event,
                                this, pwm_token_);
}

void Vcd::pwm_fall_event(void* self, uint64_t packed) {
  auto* v = static_cast<Vcd*>(self);
  if ((packed >> 2) != v->pwm_token_) return;
  v->bit(v->pwm_[packed & 1], (packed & 2) != 0, v->board_.now());
}

}  // namespace sim
