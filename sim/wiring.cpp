#include "wiring.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "record.h"
#include "vcd.h"

namespace sim {

namespace {

struct Named {
  const char* name;
  board::Key key;
};
constexpr Named kKeys[] = {{"up", board::Key::up},       {"down", board::Key::down},
                           {"esc", board::Key::esc},     {"enter", board::Key::enter},
                           {"start", board::Key::start}, {"stop", board::Key::stop}};

constexpr board::Cycles kDefaultHold = board::kCpuHz / 10;  // 100 ms

// "1.5s" or "200ms" as cycles.
bool parse_time(const std::string& text, board::Cycles& cycles) {
  char* end = nullptr;
  const double v = std::strtod(text.c_str(), &end);
  if (end == text.c_str() || v < 0) return false;
  const std::string unit = end;
  double seconds;
  if (unit == "s")
    seconds = v;
  else if (unit == "ms")
    seconds = v / 1000;
  else
    return false;
  cycles = static_cast<board::Cycles>(seconds * static_cast<double>(board::kCpuHz) + 0.5);
  return true;
}

void release_event(void* ctx, uint64_t key) {
  static_cast<board::Board*>(ctx)->keypad.release(static_cast<board::Key>(key));
}

void press_event_key(void* ctx, uint64_t key) {
  static_cast<board::Board*>(ctx)->keypad.press(static_cast<board::Key>(key));
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

const char* key_name(board::Key key) {
  for (const auto& k : kKeys)
    if (k.key == key) return k.name;
  return "?";
}

bool parse_key_presses(const std::string& list, std::vector<KeyPress>& presses, std::string& error) {
  size_t pos = 0;
  while (pos <= list.size()) {
    const size_t comma = list.find(',', pos);
    const std::string item = list.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
    const size_t at = item.find('@');
    const size_t plus = item.find('+', at == std::string::npos ? 0 : at);
    KeyPress p{board::Key::up, 0, kDefaultHold};
    const std::string when =
        item.substr(at + 1, plus == std::string::npos ? std::string::npos : plus - at - 1);
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

static board::Cycles g_bounce = 0;
static uint64_t g_bounce_state = 1;

// A few chatters within the bounce time, at seeded moments.
static void chatter(board::Board& b, board::Key key, board::Cycles from, bool settle_pressed) {
  if (g_bounce == 0) return;
  for (int i = 0; i < 2; ++i) {
    g_bounce_state = g_bounce_state * 6364136223846793005ull + 1442695040888963407ull;
    const board::Cycles off = g_bounce * ((g_bounce_state >> 33) % 1000) / 2000;  // within the first half
    const board::Cycles on = g_bounce / 2 + g_bounce * ((g_bounce_state >> 13) % 1000) / 2000;
    b.events.schedule(from + off, 0, settle_pressed ? release_event : press_event_key, &b,
                      static_cast<uint64_t>(key));
    b.events.schedule(from + on, 0, settle_pressed ? press_event_key : release_event, &b,
                      static_cast<uint64_t>(key));
  }
}

void press_for(board::Board& b, board::Key key, board::Cycles hold) {
  b.keypad.press(key);
  chatter(b, key, b.now(), true);
  b.events.schedule(b.now() + hold, 0, release_event, &b, static_cast<uint64_t>(key));
  chatter(b, key, b.now() + hold, false);
}

void press_key(board::Board& b, board::Key key) {
  b.keypad.press(key);
  chatter(b, key, b.now(), true);
}

void release_key(board::Board& b, board::Key key) {
  if (!b.keypad.held(key)) return;  // no contact to open, none to chatter
  b.keypad.release(key);
  chatter(b, key, b.now(), false);
}

void set_key_bounce(board::Cycles bounce, uint64_t seed) {
  g_bounce = bounce;
  g_bounce_state = seed;
}

bool parse_faults(const std::string& list, Faults& faults, std::string& error) {
  size_t pos = 0;
  while (pos <= list.size()) {
    const size_t comma = list.find(',', pos);
    const std::string item = list.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
    const size_t eq = item.find('='), at = item.find('@'), plus = item.find('+');
    const std::string name = item.substr(0, std::min(eq, at));
    bool ok = false;
    char* end = nullptr;
    if (name == "load" && eq != std::string::npos && at != std::string::npos && at > eq) {
      const std::string value = item.substr(eq + 1, at - eq - 1);
      const double torque = std::strtod(value.c_str(), &end);
      board::Cycles when;
      ok = end != value.c_str() && *end == '\0' && torque >= 0 && parse_time(item.substr(at + 1), when);
      if (ok) faults.loads.push_back({torque, when});
    } else if (name == "stall" && at != std::string::npos) {
      Faults::Stall st{0, 0};
      ok = parse_time(item.substr(at + 1, plus == std::string::npos ? std::string::npos : plus - at - 1),
                      st.at) &&
           (plus == std::string::npos || parse_time(item.substr(plus + 1), st.length));
      if (ok) faults.stalls.push_back(st);
    } else if (name == "crystal" && eq != std::string::npos) {
      const std::string how = item.substr(eq + 1);
      if (how == "absent") {
        faults.crystal = Faults::Crystal::absent;
        ok = true;
      } else if (how.rfind("slow:", 0) == 0 && parse_time(how.substr(5), faults.crystal_startup)) {
        faults.crystal = Faults::Crystal::slow;
        ok = true;
      }
    } else if (name == "bounce" && eq != std::string::npos) {
      ok = parse_time(item.substr(eq + 1), faults.bounce);
    } else if ((name == "drop" || name == "corrupt" || name == "seed") && eq != std::string::npos) {
      const std::string value = item.substr(eq + 1);
      const double v = std::strtod(value.c_str(), &end);
      ok = end != value.c_str() && *end == '\0' && v >= 0 && (name == "seed" || v <= 1);
      if (ok && name == "drop") faults.drop = v;
      if (ok && name == "corrupt") faults.corrupt = v;
      if (ok && name == "seed") faults.seed = v >= 1 ? static_cast<uint64_t>(v) : 1;
    }
    if (!ok) {
      error = "bad fault '" + item +
              "' (load=N@TIME, stall@TIME[+DURATION], bounce=DURATION, drop=P, corrupt=P, seed=N, "
              "crystal=absent, crystal=slow:TIME)";
      return false;
    }
    if (comma == std::string::npos) break;
    pos = comma + 1;
  }
  return true;
}

bool parse_board(const std::string& list, BoardParams& params, std::string& error) {
  size_t pos = 0;
  while (pos <= list.size()) {
    const size_t comma = list.find(',', pos);
    const std::string item = list.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
    const size_t eq = item.find('=');
    if (eq == std::string::npos || item.substr(0, eq) != "hse_startup" ||
        !parse_time(item.substr(eq + 1), params.hse_startup)) {
      error = item;
      return false;
    }
    if (comma == std::string::npos) break;
    pos = comma + 1;
  }
  return true;
}

void schedule_presses(board::Board& b, const std::vector<KeyPress>& presses) {
  for (const auto& p : presses) b.events.schedule(p.at, 0, press_event, new Scheduled{&b, p});
}

OutputFile::OutputFile(const std::string& path) : f_(std::fopen(path.c_str(), "wb")) {}

OutputFile::~OutputFile() {
  if (f_) std::fclose(f_);
}

void Trace::timer_changes(board::Cycles t) {
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
}

Trace::Trace(board::Board& b, const std::string& path) : board_(b), out_(path) {
  if (!out_.is_open()) return;
  std::fputs("cycle,signal,value\n", out_.get());
  b.tim3.add_write_listener([this](uint32_t offset, uint32_t value) {
    const board::Cycles t = board_.now();
    if (offset == board::Timer::kARR) row(t, "tim3.arr", value & 0xFFFF);
    if (offset == board::Timer::kCCR1) row(t, "tim3.ccr1", value & 0xFFFF);
    if (offset == board::Timer::kCCR2) row(t, "tim3.ccr2", value & 0xFFFF);
    timer_changes(t);
  });
  // A reset stops the timer without a write of the firmware's.
  b.add_reset_listener([this] { timer_changes(board_.now()); });
  b.gpioa.add_listener([this](int pin, bool level) {
    if (pin == 5) row(board_.now(), "pa5", level);
  });
  b.motor.add_edge_watcher([this](board::Cycles at, uint16_t count) { row(at, "encoder.edge", count); });
  b.motor.add_step_watcher([this](board::Cycles at, double rpm) {
    std::fprintf(out_.get(), "%llu,motor.rpm,%.1f\n", static_cast<unsigned long long>(at), rpm);
  });
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
  Faults faults;
  if (!options.faults.empty() && !parse_faults(options.faults, faults, error)) return "--fault: " + error;
  BoardParams board_params;
  if (!options.board.empty() && !parse_board(options.board, board_params, error))
    return "--board: bad parameter '" + error + "' (hse_startup=TIME, e.g. hse_startup=5ms)";
  if (!options.log_access.empty()) {
    std::vector<const board::regs::Block*> chosen;
    if (!board::AccessLog::choose(options.log_access, chosen, error))
      return "--log-access: " +
             (error.empty() ? std::string("no peripheral named") : "no peripheral '" + error + "'") +
             " (rcc, flash, gpioa, gpiob, gpioc, afio, usart1, usart2, tim3, tim4, bkp, pwr, crc, nvic, scb, "
             "systick, all)";
  } else if (!options.log_access_file.empty()) {
    return "--log-access-file needs --log-access";
  }
  const std::string vcd_problem = vcd_signals_problem(options.vcd_signals);
  if (!vcd_problem.empty()) return "--vcd-signals: " + vcd_problem;
  for (const std::string* path :
       {&options.rs485_file, &options.trace_file, &options.vcd_file, &options.log_access_file}) {
    if (path->empty()) continue;
    FILE* f = std::fopen(path->c_str(), "ab");
    if (f == nullptr) return *path + ": " + std::strerror(errno);
    std::fclose(f);
  }
  return "";
}

Wiring::Wiring(board::Board& b, const Options& options) : board_(b) {
  std::string error;
  // First, so that it hears the inputs the options below schedule.
  if (!options.record_file.empty()) recorder_ = std::make_unique<Recorder>(b, options);
  if (!options.motor.empty()) b.motor.params.parse(options.motor, error);
  BoardParams board_params;
  if (!options.board.empty()) parse_board(options.board, board_params, error);
  b.rcc.hse_startup = board_params.hse_startup;
  b.rcc.crystal_present = true;
  std::vector<KeyPress> presses;
  if (!options.keys.empty() && parse_key_presses(options.keys, presses, error)) schedule_presses(b, presses);
  if (!options.rs485_file.empty()) {
    rs485_ = std::make_unique<OutputFile>(options.rs485_file);
    b.rs485.on_byte = [f = rs485_->get()](uint8_t byte) {
      if (f) std::fputc(byte, f);
    };
  }
  if (!options.trace_file.empty()) trace_ = std::make_unique<Trace>(b, options.trace_file);
  if (!options.vcd_file.empty()) vcd_ = std::make_unique<Vcd>(b, options.vcd_file, options.vcd_signals);
  if (!options.log_access.empty()) {
    FILE* out = stderr;
    if (!options.log_access_file.empty()) {
      access_file_ = std::make_unique<OutputFile>(options.log_access_file);
      if (access_file_->get() != nullptr) out = access_file_->get();
    }
    access_log_ = std::make_unique<board::AccessLog>(b.events, out);
    access_log_->select(options.log_access, error);
    b.bus.set_observer(access_log_.get());
  }
  Faults faults;
  if (!options.faults.empty() && parse_faults(options.faults, faults, error)) {
    struct LoadStep {
      board::Board* board;
      double torque;
    };
    for (const auto& load : faults.loads) {
      b.events.schedule(
          load.at, 0,
          [](void* ctx, uint64_t) {
            auto* step = static_cast<LoadStep*>(ctx);
            step->board->motor.set_load(step->torque);
            delete step;
          },
          new LoadStep{&b, load.torque});
    }
    auto stall = [](void* ctx, uint64_t on) { static_cast<board::Board*>(ctx)->motor.set_stalled(on != 0); };
    for (const auto& st : faults.stalls) {
      b.events.schedule(st.at, 0, stall, &b, 1);
      if (st.length) b.events.schedule(st.at + st.length, 0, stall, &b, 0);
    }
    set_key_bounce(faults.bounce, faults.seed);
    if (faults.crystal == Faults::Crystal::absent) b.rcc.crystal_present = false;
    if (faults.crystal == Faults::Crystal::slow) b.rcc.hse_startup = faults.crystal_startup;
    console_faults_.drop = faults.drop;
    console_faults_.corrupt = faults.corrupt;
    console_faults_.state = faults.seed;
  }
}

Wiring::~Wiring() {
  if (access_log_) board_.bus.set_observer(nullptr);
}

std::string Wiring::finish() {
  if (recorder_) recorder_->finish();
  if (vcd_) vcd_->flush();
  if (access_log_) std::fflush(access_file_ ? access_file_->get() : stderr);
  if (rs485_ && rs485_->get()) std::fflush(rs485_->get());
  if (board_.rs485.bytes_lost() == 0) return "";
  return "tarvik-sim: " + std::to_string(board_.rs485.bytes_lost()) +
         " byte(s) sent on USART2 with the RS485 driver disabled (PA4 low) were lost\n";
}

}  // namespace sim
