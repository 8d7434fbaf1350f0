#include "record.h"

#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>

#include "fiber.h"
#include "image.h"
#include "machine.h"
#include "wiring.h"

namespace sim {

namespace {

// FNV-1a, 64 bits: enough to tell two builds apart, and no library needed.
std::string file_hash(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "unreadable";
  uint64_t h = 0xcbf29ce484222325ull;
  char buf[1 << 16];
  while (in.read(buf, sizeof buf) || in.gcount() > 0) {
    for (std::streamsize i = 0; i < in.gcount(); ++i) {
      h ^= static_cast<uint8_t>(buf[i]);
      h *= 0x100000001b3ull;
    }
  }
  char text[17];
  std::snprintf(text, sizeof text, "%016" PRIx64, h);
  return text;
}

bool read_file(const std::string& path, std::string& text, std::string& error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = std::strerror(errno);
    return false;
  }
  std::ostringstream all;
  all << in.rdbuf();
  text = all.str();
  return true;
}

bool whole_number(const std::string& word, uint64_t& out) {
  if (word.empty() || word.size() > 19) return false;
  for (char c : word)
    if (c < '0' || c > '9') return false;
  out = std::strtoull(word.c_str(), nullptr, 10);
  return true;
}

bool hex_number(const std::string& word, size_t digits, uint32_t& out) {
  if (word.size() != digits) return false;
  for (char c : word)
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
  out = static_cast<uint32_t>(std::strtoul(word.c_str(), nullptr, 16));
  return true;
}

// The event's time, "CYCLE" or "CYCLE/ORDER".
bool stamp(const std::string& word, Recording::Event& e) {
  const size_t slash = word.find('/');
  uint64_t at = 0, order = 0;
  if (!whole_number(word.substr(0, slash), at)) return false;
  e.at = at;
  if (slash == std::string::npos) return true;
  const std::string rest = word.substr(slash + 1);
  const bool negative = !rest.empty() && rest[0] == '-';
  if (!whole_number(negative ? rest.substr(1) : rest, order) || order > 32768) return false;
  const long signed_order = negative ? -static_cast<long>(order) : static_cast<long>(order);
  if (signed_order < -32768 || signed_order > board::EventQueue::kOutside) return false;
  e.order = static_cast<int>(signed_order);
  return true;
}

std::vector<std::string> words_of(const std::string& line) {
  std::vector<std::string> words;
  std::istringstream in(line);
  for (std::string w; in >> w;) {
    if (w[0] == '#') break;
    words.push_back(w);
  }
  return words;
}

// One event line; "" if it parsed, else what is wrong.
std::string event_line(const std::vector<std::string>& w, Recording::Event& e) {
  using Kind = Recording::Event::Kind;
  if (!stamp(w[0], e)) return "bad time '" + w[0] + "' (CYCLE or CYCLE/ORDER)";
  if (w.size() < 2) return "an event needs a name after its time";
  const std::string& name = w[1];
  const size_t args = w.size() - 2;
  if (name == "console" || name == "rs485") {
    uint32_t byte = 0;
    if (args != 1 || !hex_number(w[2], 2, byte)) return name + " needs one byte in two hex digits";
    e.kind = name == "console" ? Kind::console : Kind::rs485;
    e.byte = static_cast<uint8_t>(byte);
  } else if (name == "key") {
    if (args != 2 || !key_by_name(w[2], e.key) || (w[3] != "down" && w[3] != "up"))
      return "key needs a key (up, down, esc, enter, start, stop) and down or up";
    e.kind = w[3] == "down" ? Kind::key_down : Kind::key_up;
  } else if (name == "load") {
    char* end = nullptr;
    e.value = args == 1 ? std::strtod(w[2].c_str(), &end) : -1;
    if (args != 1 || *end != '\0' || !(e.value >= 0) || !std::isfinite(e.value))
      return "load needs a torque in N m, 0 or more";
    e.kind = Kind::load;
  } else if (name == "stall") {
    if (args != 1 || (w[2] != "0" && w[2] != "1")) return "stall needs 1 (jammed) or 0 (free)";
    e.kind = Kind::stall;
    e.value = w[2] == "1";
  } else if (name == "reset") {
    if (args != 0) return "reset takes nothing after it";
    e.kind = Kind::reset;
  } else {
    return "unknown event '" + name + "'";
  }
  return "";
}

}  // namespace

bool parse_recording(const std::string& text, Recording& r, std::string& error) {
  std::istringstream in(text);
  std::string line;
  int number = 0;
  bool versioned = false;
  auto fail = [&](const std::string& why) {
    error = "line " + std::to_string(number) + ": " + why;
    return false;
  };
  while (std::getline(in, line)) {
    ++number;
    const std::vector<std::string> w = words_of(line);
    if (w.empty()) continue;
    if (!versioned) {
      uint64_t version = 0;
      if (w.size() != 3 || w[0] != "tarvik-sim" || w[1] != "record" || !whole_number(w[2], version) ||
          version == 0)
        return fail("not a tarvik-sim recording (the first line is 'tarvik-sim record " +
                    std::to_string(kRecordVersion) + "')");
      if (version > static_cast<uint64_t>(kRecordVersion)) {
        error = "format version " + w[2] + " is newer than this tarvik-sim reads (version " +
                std::to_string(kRecordVersion) + ")";
        return false;
      }
      versioned = true;
      continue;
    }
    if (r.ended) return fail("nothing may follow the end line");
    const std::string& key = w[0];
    if (key == "firmware") {
      if (w.size() < 3 || w.size() > 4 || (w[1] != "host" && w[1] != "image"))
        return fail("firmware needs host or image, a hash and for an image its path");
      r.firmware = w[1] + " " + w[2] + (w.size() == 4 ? " " + w[3] : "");
    } else if (key == "option") {
      if (w.size() == 2 && w[1] == "lcd-task") {
        r.lcd_task = true;
      } else if (w.size() == 2 && w[1] == "strict") {
        r.strict = true;
      } else if (w.size() == 3 && w[1] == "board") {
        BoardParams params;
        std::string bad;
        if (!parse_board(w[2], params, bad)) return fail("bad board parameter '" + bad + "'");
        r.board = w[2];
      } else if (w.size() == 3 && w[1] == "crystal") {
        Faults faults;
        std::string bad;
        if (!parse_faults("crystal=" + w[2], faults, bad)) return fail("crystal needs absent or slow:TIME");
        r.crystal = w[2];
      } else if (w.size() == 3 && w[1] == "motor") {
        board::MotorParams params;
        std::string bad;
        if (!params.parse(w[2], bad)) return fail("bad motor parameter '" + bad + "'");
        r.motor = w[2];
      } else {
        return fail("unknown option '" + (w.size() > 1 ? w[1] : std::string()) + "'");
      }
    } else if (key == "backup") {
      if (w.size() != 1 + board::Bkp::kDataRegisters)
        return fail("backup needs the 10 data registers, four hex digits each");
      for (int i = 0; i < board::Bkp::kDataRegisters; ++i) {
        uint32_t v = 0;
        if (!hex_number(w[static_cast<size_t>(i) + 1], 4, v))
          return fail("backup needs the 10 data registers, four hex digits each");
        r.backup[static_cast<size_t>(i)] = static_cast<uint16_t>(v);
      }
    } else if (key == "end") {
      uint64_t at = 0;
      if (w.size() != 2 || !whole_number(w[1], at)) return fail("end needs the cycle the run ended at");
      if (!r.events.empty() && at < r.events.back().at) return fail("the end comes before the last event");
      r.ended = true;
      r.end = at;
    } else {
      Recording::Event e;
      const std::string problem = event_line(w, e);
      if (!problem.empty()) return fail(problem);
      if (!r.events.empty() && e.at < r.events.back().at) return fail("an event earlier than the one before");
      r.events.push_back(e);
    }
  }
  if (!versioned) {
    error = "empty: not a tarvik-sim recording";
    return false;
  }
  return true;
}

std::string firmware_identity(const Options& options) {
  const std::string image = image_path(options);
  if (image.empty()) return "host " + file_hash("/proc/self/exe");
  return "image " + file_hash(image) + " " + image;
}

std::string record_options_problem(const Options& o) {
  if (!o.record_file.empty()) {
    if (!o.replay_file.empty()) return "--record does not go with --replay (the replay is the recorded run)";
    FILE* f = std::fopen(o.record_file.c_str(), "ab");
    if (f == nullptr) return "--record " + o.record_file + ": " + std::strerror(errno);
    std::fclose(f);
  }
  if (o.replay_file.empty()) return "";
  // The recording gives the board its inputs and its shape.
  const struct {
    bool given;
    const char* option;
  } taken[] = {{!o.keys.empty(), "--keys"},
               {!o.faults.empty(), "--fault"},
               {!o.reset_at_s.empty(), "--reset-at"},
               {!o.backup_file.empty(), "--backup"},
               {o.battery_removed, "--battery-removed"},
               {o.lcd_task, "--lcd-task"},
               {!o.motor.empty(), "--motor"},
               {!o.board.empty(), "--board"}};
  for (const auto& t : taken)
    if (t.given) return std::string(t.option) + " does not go with --replay (the recording gives it)";
  std::string text, error;
  if (!read_file(o.replay_file, text, error)) return "--replay " + o.replay_file + ": " + error;
  Recording r;
  if (!parse_recording(text, r, error)) return "--replay " + o.replay_file + ": " + error;
  return "";
}

// --- recording ------------------------------------------------------------------

Recorder::Recorder(board::Board& b, const Options& options) : board_(b) {
  out_ = std::fopen(options.record_file.c_str(), "wb");
  if (out_ == nullptr) return;
  std::fprintf(out_, "tarvik-sim record %d\nfirmware %s\n", kRecordVersion,
               firmware_identity(options).c_str());
  if (options.lcd_task) std::fputs("option lcd-task\n", out_);
  if (options.strict) std::fputs("option strict\n", out_);
  if (!options.motor.empty()) std::fprintf(out_, "option motor %s\n", options.motor.c_str());
  if (!options.board.empty()) std::fprintf(out_, "option board %s\n", options.board.c_str());
  Faults faults;
  std::string error;
  if (!options.faults.empty() && parse_faults(options.faults, faults, error)) {
    if (faults.crystal == Faults::Crystal::absent) std::fputs("option crystal absent\n", out_);
    if (faults.crystal == Faults::Crystal::slow)
      std::fprintf(out_, "option crystal slow:%.17gs\n", to_seconds(faults.crystal_startup));
  }
  std::fputs("backup", out_);
  for (uint16_t v : b.bkp.snapshot()) std::fprintf(out_, " %04x", v);
  std::fputs("\n# CYCLE[/ORDER] EVENT ...; 72000000 cycles a second\n", out_);
  std::fflush(out_);

  b.usart1.on_input = [this](uint8_t byte) { event("console %02x", byte); };
  b.usart2.on_input = [this](uint8_t byte) { event("rs485 %02x", byte); };
  b.keypad.on_input = [this](board::Key key, bool down) {
    event("key %s %s", key_name(key), down ? "down" : "up");
  };
  b.motor.on_input = [this](const char* what, double value) {
    if (std::strcmp(what, "load") == 0)
      event("load %.17g", value);
    else
      event("stall %d", value != 0 ? 1 : 0);
  };
  // The board outlives this recorder; its reset listeners cannot be taken back.
  auto alive = std::make_shared<Recorder*>(this);
  alive_ = alive;
  b.add_reset_listener([alive] {
    if (*alive != nullptr) (*alive)->event("reset");
  });
}

Recorder::~Recorder() {
  finish();
  board_.usart1.on_input = nullptr;
  board_.usart2.on_input = nullptr;
  board_.keypad.on_input = nullptr;
  board_.motor.on_input = nullptr;
  if (alive_) *alive_ = nullptr;
  if (out_ != nullptr) std::fclose(out_);
}

void Recorder::event(const char* format, ...) {
  if (out_ == nullptr || finished_) return;
  // Between runs (the front end's own input, a reset) the event comes after
  // everything due at its cycle.
  const int order = board::Fiber::current() == board::Fiber::host() ? board::EventQueue::kOutside
                                                                    : board_.events.running_priority();
  std::fprintf(out_, "%" PRIu64, static_cast<uint64_t>(board_.now()));
  if (order != board::EventQueue::kOutside) std::fprintf(out_, "/%d", order);
  std::fputc(' ', out_);
  va_list args;
  va_start(args, format);
  std::vfprintf(out_, format, args);
  va_end(args);
  std::fputc('\n', out_);
  std::fflush(out_);  // a run killed keeps what it had
}

void Recorder::finish() {
  if (out_ == nullptr || finished_) return;
  std::fprintf(out_, "end %" PRIu64 "\n", static_cast<uint64_t>(board_.now()));
  std::fflush(out_);
  finished_ = true;
}

// --- replaying ------------------------------------------------------------------

namespace {

constexpr Cycles kCheckEvery = seconds(0.01);  // as batch mode runs

void apply(board::Board& b, const Recording::Event& e) {
  using Kind = Recording::Event::Kind;
  switch (e.kind) {
    case Kind::console:
      b.usart1.receive(e.byte);
      break;
    case Kind::rs485:
      b.usart2.receive(e.byte);
      break;
    case Kind::key_down:
      b.keypad.press(e.key);
      break;
    case Kind::key_up:
      b.keypad.release(e.key);
      break;
    case Kind::load:
      b.motor.set_load(e.value);
      break;
    case Kind::stall:
      b.motor.set_stalled(e.value != 0);
      break;
    case Kind::reset:
      break;
  }
}

bool between_runs(const Recording::Event& e) {
  return e.order == board::EventQueue::kOutside || e.kind == Recording::Event::Kind::reset;
}

// Inputs that arrived while the board's events ran go back on its events, each
// once the one before has happened, so that it keeps its place among the
// board's own events at its cycle.
struct Scheduled {
  board::Board& b;
  const std::vector<Recording::Event>& events;
  size_t next = 0;

  void schedule_next() {
    while (next < events.size() && between_runs(events[next])) ++next;
    if (next < events.size()) b.events.schedule(events[next].at, events[next].order, fire, this);
  }
  static void fire(void* ctx, uint64_t) {
    auto* s = static_cast<Scheduled*>(ctx);
    apply(s->b, s->events[s->next++]);
    s->schedule_next();
  }
};

}  // namespace

int run_replay(const Options& given) {
  std::string text, error;
  Recording r;
  if (!read_file(given.replay_file, text, error) || !parse_recording(text, r, error)) {
    std::fprintf(stderr, "tarvik-sim: --replay %s: %s\n", given.replay_file.c_str(), error.c_str());
    return 2;
  }
  Options options = given;
  options.mode = Options::Mode::batch;
  options.lcd_task = r.lcd_task;
  options.strict = given.strict || r.strict;
  options.motor = r.motor;
  options.board = r.board;
  options.faults = r.crystal.empty() ? "" : "crystal=" + r.crystal;  // the rest came as events
  const std::string identity = firmware_identity(options);
  if (identity != r.firmware)
    std::fprintf(stderr, "tarvik-sim: --replay %s: recorded with firmware %s; replaying on firmware %s\n",
                 given.replay_file.c_str(), r.firmware.empty() ? "(not named)" : r.firmware.c_str(),
                 identity.c_str());
  Cycles end = r.end;
  if (!r.ended) {
    end = (r.events.empty() ? 0 : r.events.back().at) + seconds(given.settle_s);
    std::fprintf(
        stderr,
        "tarvik-sim: --replay %s: no end line (the recorded run was cut short): replaying to %.3f s, "
        "%g s after its last event\n",
        given.replay_file.c_str(), to_seconds(end), given.settle_s);
  }
  if (given.until_s >= 0 && seconds(given.until_s) < end) end = seconds(given.until_s);

  Machine m(options);
  board::Board& b = m.board();
  b.bkp.load(r.backup);
  b.usart1.set_tx_sink([](uint8_t byte) { std::putchar(byte); });
  Scheduled scheduled{b, r.events};
  scheduled.schedule_next();
  auto run_to = [&](Cycles t) { m.run_while([] { return true; }, kCheckEvery, t); };
  // The rest came from the front end while the run stood at their cycle: the
  // run stops there again and they are applied in their order, resets too.
  for (const auto& e : r.events) {
    if (!between_runs(e) || e.at > end) continue;
    run_to(e.at);
    if (e.kind == Recording::Event::Kind::reset)
      m.reset();
    else
      apply(b, e);
  }
  run_to(end);
  std::fflush(stdout);
  const std::string report = m.finish();
  if (!report.empty()) std::fputs(report.c_str(), stderr);
  return m.halted() ? 1 : 0;
}

}  // namespace sim
