#include "control.h"

#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <nlohmann/json.hpp>
#include <regex>

#include "gdb_server.h"
#include "image.h"
#include "variables.h"
#include "wiring.h"

namespace sim {

using json = nlohmann::ordered_json;

namespace {

// How often a wait looks at what the board's side cannot stop the run for (a
// halt, a line's input taken); console bytes and pin changes stop it at once.
constexpr Cycles kWaitSlice = seconds(0.01);
constexpr Cycles kTakenSlice = seconds(0.001);
constexpr double kLongestRun = 1e6;  // seconds of virtual time one request may ask for
constexpr int kDebuggerWait = 20;  // ms, while the debugger holds the board
// Up to this much unread console text a wait looks for its pattern at every new
// byte, and so ends at the byte that completes the match; beyond it, once the text
// has grown by a sixteenth (and at the end of each slice), so that the looks cost
// a few times one look at the whole text rather than one look per byte.
constexpr size_t kLookAlways = 1024;
constexpr size_t kTailBytes = 512;                    // of unread console text in a timed-out wait's reply
constexpr size_t kLongestRequest = 16 * 1024 * 1024;  // bytes in one request line

// A request that cannot be carried out; the board is left as it was.
struct BadRequest {
  std::string what;
};

// Bytes as a JSON string: byte n is the code point n, written as UTF-8 here.
std::string text_of_bytes(const std::string& bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (char ch : bytes) {
    const auto b = static_cast<unsigned char>(ch);
    if (b < 0x80) {
      out.push_back(ch);
    } else {
      out.push_back(static_cast<char>(0xC0 | (b >> 6)));
      out.push_back(static_cast<char>(0x80 | (b & 0x3F)));
    }
  }
  return out;
}

// The reverse, from the UTF-8 the JSON parser checked; a code point above 255 is
// no byte.
std::string bytes_of_text(const std::string& text, const char* field) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if ((c == 0xC2 || c == 0xC3) && i + 1 < text.size()) {
      out.push_back(static_cast<char>(((c & 0x03) << 6) | (static_cast<unsigned char>(text[++i]) & 0x3F)));
    } else {
      throw BadRequest{std::string("\"") + field +
                       "\" holds a character above U+00FF (each character is one byte, 0-255)"};
    }
  }
  return out;
}

// A request's fields, each taken once; what is left over is a mistake.
class Fields {
 public:
  Fields(const json& request, const std::string& op) : request_(request), op_(op) {}

  const json* take(const char* name) {
    taken_.push_back(name);
    const auto it = request_.find(name);
    return it == request_.end() ? nullptr : &*it;
  }
  std::string text(const char* name, const char* fallback = nullptr) {
    const json* v = take(name);
    if (v == nullptr) {
      if (fallback != nullptr) return fallback;
      throw BadRequest{op_ + " needs \"" + name + "\""};
    }
    if (!v->is_string()) throw BadRequest{"\"" + std::string(name) + "\" must be a string"};
    return v->get<std::string>();
  }
  bool has(const char* name) const { return request_.contains(name); }
  // A number of virtual seconds; `required` or else -1 when absent.
  double seconds_of(const char* name, bool required) {
    const json* v = take(name);
    if (v == nullptr) {
      if (required) throw BadRequest{op_ + " needs \"" + name + "\" (seconds)"};
      return -1;
    }
    if (!v->is_number()) throw BadRequest{"\"" + std::string(name) + "\" must be a number of seconds"};
    const double s = v->get<double>();
    if (!std::isfinite(s) || s < 0 || s > kLongestRun)
      throw BadRequest{"\"" + std::string(name) + "\" must be from 0 to " + std::to_string(int(kLongestRun)) +
                       " seconds"};
    return s;
  }
  double fraction(const char* name) {
    const json* v = take(name);
    if (!v->is_number() || !(v->get<double>() >= 0 && v->get<double>() <= 1))
      throw BadRequest{"\"" + std::string(name) + "\" must be a number from 0 to 1"};
    return v->get<double>();
  }
  // Everything in the request was understood.
  void done() const {
    for (const auto& [key, value] : request_.items()) {
      if (key == "op" || key == "id") continue;
      if (std::find(taken_.begin(), taken_.end(), key) == taken_.end())
        throw BadRequest{"unknown field \"" + key + "\" for " + op_};
    }
  }

 private:
  const json& request_;
  const std::string op_;
  std::vector<std::string> taken_;
};

// "PA5", "pc13": a port of the board and one of its 16 pins.
std::pair<char, int> pin_of(const std::string& name) {
  static const std::regex form("[Pp]([A-Ca-c])([0-9]{1,2})");
  std::smatch m;
  if (std::regex_match(name, m, form)) {
    const int pin = std::stoi(m[2].str());
    if (pin < board::Gpio::kPins) return {static_cast<char>(std::toupper(m[1].str()[0])), pin};
  }
  throw BadRequest{"bad pin \"" + name + "\" (PA0-PA15, PB0-PB15, PC0-PC15)"};
}

board::Key key_of(const std::string& name) {
  board::Key key;
  if (!key_by_name(name, key))
    throw BadRequest{"bad key \"" + name + "\" (up, down, esc, enter, start, stop)"};
  return key;
}

std::string without_library_prefix(const std::string& what) {
  // "[json.exception.parse_error.101] parse error at ...": the library's tag says nothing to a user.
  const size_t close = what.find("] ");
  return what.rfind("[json.exception.", 0) == 0 && close != std::string::npos ? what.substr(close + 2) : what;
}

}  // namespace

struct Control::State {
  explicit State(Machine& machine)
      : m(machine),
        b(machine.board()),
        console_in(b, b.usart1, LineInput::Mode::paced),
        rs485_in(b, b.usart2, LineInput::Mode::live) {
    console_in.set_faults(m.console_faults());
    b.usart1.set_tx_sink([this](uint8_t byte) {
      console_out.push_back(static_cast<char>(byte));
      if (watch == Watch::console && worth_a_look()) m.stop();
    });
    auto recorder = b.rs485.on_byte;  // --rs485 still records what leaves on the bus
    b.rs485.on_byte = [this, recorder](uint8_t byte) {
      rs485_out.push_back(static_cast<char>(byte));
      if (recorder) recorder(byte);
    };
    for (board::Gpio* port : {&b.gpioa, &b.gpiob, &b.gpioc}) {
      port->add_listener([this, port](int pin, bool level) {
        if (watch != Watch::pin || port != watched_port || pin != watched_pin) return;
        if (wanted_level >= 0 && level != (wanted_level != 0)) return;
        pin_changed = true;
        m.stop();
      });
    }
  }

  bool worth_a_look() const {
    const size_t n = console_out.size();
    return n <= kLookAlways || n - looked_at >= n / 16;
  }

  board::Gpio& port(char name) { return name == 'A' ? b.gpioa : name == 'B' ? b.gpiob : b.gpioc; }

  // Runs until `done` holds, the board halts or `limit` is reached, looking every
  // `slice` (and whenever the board's side stops the run); true if `done` held.
  bool wait(Cycles limit, Cycles slice, const std::function<bool()>& done) {
    for (;;) {
      if (done()) return true;
      if (m.halted() || m.now() >= limit) return false;
      // Halted by the debugger, time stands still until it lets the board go.
      if (debugger_holds_board()) wait_for_debugger(kDebuggerWait);
      m.run_until(std::min(m.now() + slice, limit));
    }
  }

  json run(Fields& f);
  json fault(Fields& f);

  Machine& m;
  board::Board& b;
  LineInput console_in, rs485_in;
  std::string console_out, rs485_out;  // sent by the firmware, not yet read

  enum class Watch { none, console, pin };
  Watch watch = Watch::none;
  size_t looked_at = 0;  // console_out's size at the last look for the pattern
  board::Gpio* watched_port = nullptr;
  int watched_pin = 0, wanted_level = -1;
  bool pin_changed = false;
  board::Cycles bounce = 0;  // the key bounce and its seed, as --fault or a request set them
  uint64_t bounce_seed = 1;
};

json Control::State::run(Fields& f) {
  const bool by_pattern = f.has("until"), by_pin = f.has("pin"), by_taken = f.has("taken");
  const int conditions = f.has("for") + by_pattern + by_pin + by_taken;
  if (conditions != 1) throw BadRequest{"run needs one of \"for\", \"until\", \"pin\" or \"taken\""};
  json reply = {{"ok", true}};
  if (f.has("for")) {
    const double s = f.seconds_of("for", true);
    f.done();
    // The whole time, even on a halted board (its interrupts go on); a debugger
    // that halts the core holds it still meanwhile.
    const Cycles until = m.now() + seconds(s);
    while (m.now() < until) {
      if (debugger_holds_board()) wait_for_debugger(kDebuggerWait);
      m.run_until(until);
    }
    return reply;
  }
  const double within = f.seconds_of("within", true);
  if (by_pattern) {
    const std::string pattern = bytes_of_text(f.text("until"), "until");
    std::regex re;
    try {
      re.assign(pattern, std::regex::ECMAScript);
    } catch (const std::regex_error& e) {
      throw BadRequest{"bad pattern \"" + pattern + "\": " + e.what()};
    }
    f.done();
    std::smatch match;
    bool looked = false;
    auto found = [&] {
      // Nothing new since the last look: nothing new to find.
      if (looked && console_out.size() == looked_at) return false;
      looked = true;
      looked_at = console_out.size();
      return std::regex_search(console_out, match, re);
    };
    watch = Watch::console;
    const bool matched = wait(m.now() + seconds(within), kWaitSlice, found);
    watch = Watch::none;
    reply["matched"] = matched;
    if (!matched) {
      const size_t from = console_out.size() > kTailBytes ? console_out.size() - kTailBytes : 0;
      reply["tail"] = text_of_bytes(console_out.substr(from));
      return reply;
    }
    const size_t end = static_cast<size_t>(match.position(0) + match.length(0));
    reply["match"] = text_of_bytes(match.str(0));
    json groups = json::array();
    for (size_t g = 1; g < match.size(); ++g)
      groups.push_back(match[g].matched ? json(text_of_bytes(match.str(g))) : json(nullptr));
    reply["groups"] = groups;
    reply["data"] = text_of_bytes(console_out.substr(0, end));
    console_out.erase(0, end);
    return reply;
  }
  if (by_pin) {
    const auto [port_name, pin] = pin_of(f.text("pin"));
    const json* level = f.take("level");
    if (level != nullptr && !(level->is_number_integer() && (*level == 0 || *level == 1)))
      throw BadRequest{"\"level\" must be 0 or 1"};
    f.done();
    board::Gpio& p = port(port_name);
    watched_port = &p;
    watched_pin = pin;
    wanted_level = level != nullptr ? level->get<int>() : -1;
    // A level asked for that is already there needs no change.
    pin_changed = wanted_level >= 0 && p.level(pin) == (wanted_level != 0);
    watch = Watch::pin;
    const bool matched = wait(m.now() + seconds(within), kWaitSlice, [&] { return pin_changed; });
    watch = Watch::none;
    reply["matched"] = matched;
    reply["level"] = p.level(pin) ? 1 : 0;
    return reply;
  }
  const std::string line = f.text("taken");
  if (line != "console" && line != "rs485") throw BadRequest{"\"taken\" must be \"console\" or \"rs485\""};
  f.done();
  LineInput& in = line == "console" ? console_in : rs485_in;
  reply["matched"] = wait(m.now() + seconds(within), kTakenSlice, [&] { return in.idle(); });
  return reply;
}

json Control::State::fault(Fields& f) {
  // Every value is checked before any is applied.
  const json* load = f.take("load");
  if (load != nullptr &&
      !(load->is_number() && load->get<double>() >= 0 && std::isfinite(load->get<double>())))
    throw BadRequest{"\"load\" must be a torque in N m, 0 or more"};
  const json* stall = f.take("stall");
  double stall_s = -1;
  if (stall != nullptr && !stall->is_boolean()) stall_s = f.seconds_of("stall", true);
  const double bounce_s = f.has("bounce") ? f.seconds_of("bounce", true) : -1;
  const double drop = f.has("drop") ? f.fraction("drop") : -1;
  const double corrupt = f.has("corrupt") ? f.fraction("corrupt") : -1;
  const json* seed = f.take("seed");
  if (seed != nullptr && !(seed->is_number_unsigned() && seed->get<uint64_t>() >= 1))
    throw BadRequest{"\"seed\" must be a whole number, 1 or more"};
  f.done();
  if (load == nullptr && stall == nullptr && bounce_s < 0 && drop < 0 && corrupt < 0 && seed == nullptr)
    throw BadRequest{"fault needs one of \"load\", \"stall\", \"bounce\", \"drop\", \"corrupt\", \"seed\""};

  if (load != nullptr) b.motor.set_load(load->get<double>());
  if (stall != nullptr) {
    const bool jam = stall->is_boolean() ? stall->get<bool>() : true;
    b.motor.set_stalled(jam);
    if (stall_s >= 0)
      b.events.schedule(
          m.now() + seconds(stall_s), 0,
          [](void* ctx, uint64_t) { static_cast<board::Board*>(ctx)->motor.set_stalled(false); }, &b);
  }
  LineFaults& line = *m.console_faults();
  if (drop >= 0) line.drop = drop;
  if (corrupt >= 0) line.corrupt = corrupt;
  if (bounce_s >= 0) bounce = seconds(bounce_s);
  if (seed != nullptr) line.state = seed->get<uint64_t>();
  if (seed != nullptr) bounce_seed = seed->get<uint64_t>();
  if (bounce_s >= 0 || seed != nullptr) set_key_bounce(bounce, bounce_seed);
  return {{"ok", true}};
}

Control::Control(Machine& m, const Options& options) : s_(std::make_unique<State>(m)) {
  Faults faults;
  std::string error;
  if (parse_faults(options.faults, faults, error)) {
    s_->bounce = faults.bounce;
    s_->bounce_seed = faults.seed;
  }
}

Control::~Control() = default;

std::string Control::finish() {
  if (!finished_) {
    finished_ = true;
    report_ = s_->m.finish();
  }
  return report_;
}

std::string Control::handle(const std::string& line) {
  State& s = *s_;
  json request;
  json reply;
  try {
    try {
      request = json::parse(line);
    } catch (const json::parse_error& e) {
      throw BadRequest{"the request is not JSON: " + without_library_prefix(e.what())};
    }
    if (!request.is_object()) throw BadRequest{"the request is not a JSON object"};
    const auto op_field = request.find("op");
    if (op_field == request.end() || !op_field->is_string())
      throw BadRequest{"the request has no \"op\" string"};
    if (ended_) throw BadRequest{"the run has ended"};
    const std::string op = op_field->get<std::string>();
    Fields f(request, op);
    if (op == "hello") {
      f.done();
      reply = {
          {"ok", true}, {"version", kControlVersion}, {"cpu", s.m.image() != nullptr ? "image" : "host"}};
    } else if (op == "write") {
      const std::string line_name = f.text("line", "console");
      const std::string data = bytes_of_text(f.text("data"), "data");
      if (line_name != "console" && line_name != "rs485")
        throw BadRequest{"\"line\" must be \"console\" or \"rs485\""};
      f.done();
      reply = {{"ok", true}};
      if (line_name == "console") {
        s.console_in.push(data);
        reply["queued"] = s.console_in.queued();
      } else {
        // The transceiver hears the bus only while its driver is off (PA4 low).
        const bool heard = !s.b.gpioa.level(4);
        if (heard) s.rs485_in.push(data);
        reply["heard"] = heard;
      }
    } else if (op == "read") {
      const std::string line_name = f.text("line", "console");
      if (line_name != "console" && line_name != "rs485")
        throw BadRequest{"\"line\" must be \"console\" or \"rs485\""};
      f.done();
      std::string& out = line_name == "console" ? s.console_out : s.rs485_out;
      reply = {{"ok", true}, {"data", text_of_bytes(out)}};
      out.clear();
    } else if (op == "run") {
      reply = s.run(f);
    } else if (op == "press" || op == "release") {
      const board::Key key = key_of(f.text("key"));
      const double hold = op == "press" ? f.seconds_of("hold", false) : -1;
      f.done();
      if (hold == 0) throw BadRequest{"\"hold\" must be more than 0 seconds (leave it out to hold the key)"};
      if (op == "release")
        release_key(s.b, key);
      else if (hold > 0)
        press_for(s.b, key, seconds(hold));
      else
        press_key(s.b, key);
      reply = {{"ok", true}};
    } else if (op == "pin") {
      const auto [port_name, pin] = pin_of(f.text("pin"));
      f.done();
      reply = {{"ok", true}, {"level", s.port(port_name).level(pin) ? 1 : 0}};
    } else if (op == "lcd") {
      f.done();
      json rows = json::array();
      for (int row = 0; row < board::Hd44780::kRows; ++row) rows.push_back(s.b.lcd.row_text(row));
      reply = {{"ok", true}, {"rows", rows}, {"on", s.b.lcd.display_on()}};
    } else if (op == "motor") {
      f.done();
      board::Motor& motor = s.b.motor;
      const double v = motor.drive_voltage();
      const double supply = motor.params.supply_v;
      reply = {{"ok", true},
               {"rpm", motor.rpm()},
               {"enabled", motor.enabled()},
               {"direction", v > 0   ? 1
                             : v < 0 ? -1
                                     : 0},
               {"duty", supply > 0 ? std::fabs(v) / supply * 100.0 : 0.0},
               {"edges", motor.edges()},
               {"load", motor.params.load}};
    } else if (op == "var") {
      const std::string name = f.text("name");
      f.done();
      std::vector<uint8_t> bytes;
      std::string error;
      if (!read_firmware_variable(s.m.image(), s.m.now() > 0, name, bytes, error)) throw BadRequest{error};
      reply = {{"ok", true}, {"size", bytes.size()}};
      if (bytes.size() <= 8) {
        uint64_t value = 0;
        for (size_t i = bytes.size(); i-- > 0;) value = value << 8 | bytes[i];
        reply["value"] = value;
      } else {
        std::string hex;
        for (uint8_t byte : bytes) {
          static const char kDigits[] = "0123456789abcdef";
          hex += kDigits[byte >> 4];
          hex += kDigits[byte & 15];
        }
        reply["bytes"] = hex;
      }
    } else if (op == "fault") {
      reply = s.fault(f);
    } else if (op == "reset") {
      f.done();
      s.m.reset();
      reply = {{"ok", true}};
    } else if (op == "time") {
      f.done();
      reply = {{"ok", true}, {"cycles", s.m.now()}};
    } else if (op == "end") {
      f.done();
      reply = {{"ok", true}, {"report", finish()}};
      ended_ = true;
    } else {
      throw BadRequest{"unknown op \"" + op + "\""};
    }
    reply["time"] = to_seconds(s.m.now());
    if (s.m.halted()) reply["halted"] = s.b.cpu.halt_reason();
  } catch (const BadRequest& e) {
    reply = {{"ok", false}, {"error", e.what}};
  }
  if (request.is_object() && request.contains("id")) reply["id"] = request["id"];
  return reply.dump(-1, ' ', true);
}

std::string control_options_problem(const Options& options) {
  if (options.mode != Options::Mode::control) return "";
  if (options.until_s >= 0) return "--until does not go with --control (a run request moves virtual time)";
  const std::string& path = options.control_socket;
  if (path.empty()) return "";
  if (path.size() >= sizeof(sockaddr_un::sun_path)) return "--control: the socket path is too long: " + path;
  struct stat st;
  if (lstat(path.c_str(), &st) == 0 && !S_ISSOCK(st.st_mode))
    return "--control: " + path + " exists and is not a socket";
  return "";
}

namespace {

// Request lines from a file descriptor.
class LineReader {
 public:
  // `wait`, if given, is called before each read, to return once `fd` can be read.
  LineReader(int fd, std::function<void(int)> wait) : fd_(fd), wait_(std::move(wait)) {}
  // The next line without its line feed (and a carriage return before it);
  // false at the end of input. A line longer than kLongestRequest comes back
  // cut short, the rest of it skipped.
  bool next(std::string& line) {
    for (;;) {
      const size_t lf = buffer_.find('\n', scanned_);
      if (lf != std::string::npos) {
        line = buffer_.substr(0, lf);
        buffer_.erase(0, lf + 1);
        scanned_ = 0;
        if (skipping_) {
          skipping_ = false;
          continue;
        }
        if (!line.empty() && line.back() == '\r') line.pop_back();
        return true;
      }
      scanned_ = buffer_.size();
      if (buffer_.size() > kLongestRequest && !skipping_) {
        line = buffer_;
        buffer_.clear();
        scanned_ = 0;
        skipping_ = true;
        return true;
      }
      if (skipping_) {
        buffer_.clear();
        scanned_ = 0;
      }
      char chunk[65536];
      if (wait_) wait_(fd_);
      const ssize_t n = read(fd_, chunk, sizeof chunk);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        // A last line without its line feed still counts.
        if (buffer_.empty() || skipping_) return false;
        line.swap(buffer_);
        buffer_.clear();
        return true;
      }
      buffer_.append(chunk, static_cast<size_t>(n));
    }
  }

 private:
  int fd_;
  std::function<void(int)> wait_;
  std::string buffer_;
  size_t scanned_ = 0;
  bool skipping_ = false;
};

bool write_all(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// One client on a Unix socket at `path`: the connection's descriptor, or -1.
int accept_one(const std::string& path) {
  const int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listener < 0) return -1;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  unlink(path.c_str());  // a socket left by an earlier run (the options let nothing else through)
  if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener, 1) != 0) {
    std::fprintf(stderr, "tarvik-sim: --control %s: %s\n", path.c_str(), std::strerror(errno));
    close(listener);
    return -1;
  }
  int client;
  do client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
  while (client < 0 && errno == EINTR);
  if (client < 0) std::fprintf(stderr, "tarvik-sim: --control %s: %s\n", path.c_str(), std::strerror(errno));
  close(listener);
  return client;
}

}  // namespace

int run_control(const Options& options) {
  // A client that goes away ends the run like the end of its input.
  signal(SIGPIPE, SIG_IGN);
  Machine m(options);
  Control control(m, options);
  int in = STDIN_FILENO, out = STDOUT_FILENO;
  const std::string& path = options.control_socket;
  if (!path.empty()) {
    in = out = accept_one(path);
    if (in < 0) {
      unlink(path.c_str());
      return 1;
    }
  }
  // Between requests the board stands still, but a debugger is still heard.
  LineReader reader(in, [&m](int fd) { wait_serving_debugger(fd, [&m] { m.run_until(m.now() + 1); }); });
  std::string line;
  while (!control.ended() && reader.next(line)) {
    if (!write_all(out, control.handle(line) + "\n")) break;
  }
  std::fputs(control.finish().c_str(), stderr);
  if (!path.empty()) {
    close(in);
    unlink(path.c_str());
  }
  return m.halted() ? 1 : 0;
}

}  // namespace sim
