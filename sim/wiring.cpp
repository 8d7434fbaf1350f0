#include "wiring.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace sim {

namespace {

struct Named {
  const char* name;
  board::Key key;
};
constexpr Named kKeys[] = {{"up", board::Key::up},       {"down", board::Key::down},   {"esc", board::Key::esc},
                           {"enter", board::Key::enter}, {"start", board::Key::start}, {"stop", board::Key::stop}};

constexpr board::Cycles kDefaultHold = board::kCpuHz / 10;  // 100 ms

// "1.5s" or "200ms" as cycles.
bool parse_time(const std::string& text, board::Cycles& cycles) {
  char* end = nullptr;
  const double v = std::strtod(text.c_str(), &end);
  if (end == text.c_str() || v < 0) return false;
  const std::string unit = end;
  double seconds;
  if (unit == "s") seconds = v;
  else if (unit == "ms") seconds = v / 1000;
  else return false;
  cycles = static_cast<board::Cycles>(seconds * static_cast<double>(board::kCpuHz) + 0.5);
  return true;
}

void release_event(void* ctx, uint64_t key) {
  static_cast<board::Board*>(ctx)->keypad.release(static_cast<board::Key>(key));
}

struct Scheduled {
  board::Board* board;
  KeyPress press;
};

void press_event(void* ctx, uint64_t) {
  auto* s = static_cast<Scheduled*>(ctx);
  press_for(*s->board, s->press.key, s->press.hold);
  delete s;
}

}  // namespace

bool key_by_name(const std::string& name, board::Key& key) {
  for (const auto& k : kKeys) {
    if (name == k.name) {
      key = k.key;
      return true;
    }
  }
  return false;
}

bool parse_key_presses(const std::string& list, std::vector<KeyPress>& presses, std::string& error) {
  size_t pos = 0;
  while (pos <= list.size()) {
    const size_t comma = list.find(',', pos);
    const std::string item = list.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
    const size_t at = item.find('@');
    const size_t plus = item.find('+', at == std::string::npos ? 0 : at);
    KeyPress p{board::Key::up, 0, kDefaultHold};
    const std::string when = item.substr(at + 1, plus == std::string::npos ? std::string::npos : plus - at - 1);
    if (at == std::string::npos || !key_by_name(item.substr(0, at), p.key) || !parse_time(when, p.at) ||
        (plus != std::string::npos && !parse_time(item.substr(plus + 1), p.hold))) {
      error = "bad key press '" + item + "' (NAME@TIME[+HOLD], e.g. up@1.5s+200ms)";
      return false;
    }
    presses.push_back(p);
    if (comma == std::string::npos) break;
    pos = comma + 1;
  }
  return true;
}

void press_for(board::Board& b, board::Key key, board::Cycles hold) {
  b.keypad.press(key);
  b.events.schedule(b.now() + hold, 0, release_event, &b, static_cast<uint64_t>(key));
}

void schedule_presses(board::Board& b, const std::vector<KeyPress>& presses) {
  for (const auto& p : presses) b.events.schedule(p.at, 0, press_event, new Scheduled{&b, p});
}

OutputFile::OutputFile(const std::string& path) : f_(std::fopen(path.c_str(), "wb")) {}

OutputFile::~OutputFile() {
  if (f_) std::fclose(f_);
}

Trace::Trace(board::Board& b, const std::string& path) : board_(b), out_(path) {
  if (!out_.is_open()) return;
  std::fputs("cycle,signal,value\n", out_.get());
  b.tim3.set_write_listener([this](uint32_t offset, uint32_t value) {
    const board::Cycles t = board_.now();
    if (offset == board::Timer::kARR) row(t, "tim3.arr", value & 0xFFFF);
    if (offset == board::Timer::kCCR1) row(t, "tim3.ccr1", value & 0xFFFF);
    if (offset == board::Timer::kCCR2) row(t, "tim3.ccr2", value & 0xFFFF);
    if (board_.tim3.counting() != cen_) {
      cen_ = board_.tim3.counting();
      row(t, "tim3.cen", cen_);
    }
    if (board_.tim3.oc_mode(1) != oc1m_) {
      oc1m_ = board_.tim3.oc_mode(1);
      row(t, "tim3.oc1m", oc1m_);
    }
    if (board_.tim3.oc_mode(2) != oc2m_) {
      oc2m_ = board_.tim3.oc_mode(2);
      row(t, "tim3.oc2m", oc2m_);
    }
  });
  b.gpioa.add_listener([this](int pin, bool level) {
    if (pin == 5) row(board_.now(), "pa5", level);
  });
  b.motor.on_edge = [this](board::Cycles at, uint16_t count) { row(at, "encoder.edge", count); };
  b.motor.on_step = [this](board::Cycles at, double rpm) {
    std::fprintf(out_.get(), "%llu,motor.rpm,%.1f\n", static_cast<unsigned long long>(at), rpm);
  };
}

void Trace::row(board::Cycles at, const char* signal, long value) {
  std::fprintf(out_.get(), "%llu,%s,%ld\n", static_cast<unsigned long long>(at), signal, value);
}

}  // namespace sim

namespace sim {

std::string wiring_options_problem(const Options& options) {
  std::vector<KeyPress> presses;
  std::string error;
  if (!options.keys.empty() && !parse_key_presses(options.keys, presses, error)) return "--keys: " + error;
  board::MotorParams params;
  if (!options.motor.empty() && !params.parse(options.motor, error))
    return "--motor: bad parameter '" + error +
           "' (supply_v, resistance_ohm, ke, kt, inertia, friction, load, edges_per_rev)";
  for (const std::string* path : {&options.rs485_file, &options.trace_file}) {
    if (path->empty()) continue;
    FILE* f = std::fopen(path->c_str(), "ab");
    if (f == nullptr) return *path + ": " + std::strerror(errno);
    std::fclose(f);
  }
  return "";
}

Wiring::Wiring(board::Board& b, const Options& options) : board_(b) {
  std::string error;
  if (!options.motor.empty()) b.motor.params.parse(options.motor, error);
  std::vector<KeyPress> presses;
  if (!options.keys.empty() && parse_key_presses(options.keys, presses, error)) schedule_presses(b, presses);
  if (!options.rs485_file.empty()) {
    rs485_ = std::make_unique<OutputFile>(options.rs485_file);
    b.rs485.on_byte = [f = rs485_->get()](uint8_t byte) {
      if (f) std::fputc(byte, f);
    };
  }
  if (!options.trace_file.empty()) trace_ = std::make_unique<Trace>(b, options.trace_file);
}

std::string Wiring::finish() {
  if (rs485_ && rs485_->get()) std::fflush(rs485_->get());
  if (board_.rs485.bytes_lost() == 0) return "";
  return "tarvik-sim: " + std::to_string(board_.rs485.bytes_lost()) +
         " byte(s) sent on USART2 with the RS485 driver disabled (PA4 low) were lost\n";
}

}  // namespace sim
