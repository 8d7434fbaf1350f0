#include "gdb_server.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <utility>
#include <vector>

#include "gdb/kernel_tasks.h"
#include "gdb/session.h"
#include "gdb_history.h"
#include "image.h"
#include "wiring.h"

namespace sim {

namespace {

using board::Cycles;
namespace gdb = emu::gdb;

static_assert(static_cast<unsigned>(gdb::kRegisterCount) == static_cast<unsigned>(emu::kDebugRegisters),
              "the target description and the core number the registers alike");

// While the board runs, the socket is looked at this often in virtual time (for
// the interrupt byte and new connections).
constexpr Cycles kPollEvery = board::kCpuHz / 500;
constexpr int kPollPriority = 30;
constexpr Cycles kDefaultHold = board::kCpuHz * 3 / 10;  // as the front panel's keys

// --gdb 3333: a TCP port; anything else: a Unix socket path.
bool tcp_port(const std::string& endpoint, int& port) {
  if (endpoint.empty() || endpoint.size() > 5) return false;
  for (char c : endpoint)
    if (c < '0' || c > '9') return false;
  port = std::atoi(endpoint.c_str());
  return port > 0 && port < 65536;
}

// "\r", "\n", "\t", "\e", "\\", "\xHH": the bytes `monitor type` puts on the line.
std::string unescape(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      out += text[i];
      continue;
    }
    const char c = text[++i];
    switch (c) {
      case 'r':
        out += '\r';
        break;
      case 'n':
        out += '\n';
        break;
      case 't':
        out += '\t';
        break;
      case 'e':
        out += '\x1b';
        break;
      case 'b':
        out += '\b';
        break;
      case 'x': {
        int v = 0, digits = 0;
        while (digits < 2 && i + 1 < text.size() && std::isxdigit(static_cast<unsigned char>(text[i + 1]))) {
          const char d = text[++i];
          v = v * 16 + (d <= '9' ? d - '0' : (d | 0x20) - 'a' + 10);
          ++digits;
        }
        out += digits ? static_cast<char>(v) : 'x';
        break;
      }
      default:
        out += c;
    }
  }
  return out;
}

// Bytes put on the console line one at a time, each once the firmware has taken
// the one before (the USART holds one), as batch mode types.
class Typist {
 public:
  explicit Typist(board::Board& b) : board_(b) {}
  void type(const std::string& bytes) {
    for (char c : bytes) queue_.push_back(static_cast<uint8_t>(c));
    if (!scheduled_) schedule(board_.now());
  }

 private:
  void schedule(Cycles at) {
    scheduled_ = true;
    board_.events.schedule(at, kPollPriority, deliver, this);
  }
  static void deliver(void* self, uint64_t) {
    auto* t = static_cast<Typist*>(self);
    t->scheduled_ = false;
    if (t->queue_.empty()) return;
    if (t->board_.usart1.accepting()) {
      t->board_.usart1.receive(t->queue_.front());
      t->queue_.pop_front();
    }
    if (!t->queue_.empty()) t->schedule(t->board_.now() + t->board_.usart1.char_time());
  }
  board::Board& board_;
  std::deque<uint8_t> queue_;
  bool scheduled_ = false;
};

const char kMonitorHelp[] =
    "Commands of the simulated board (monitor COMMAND):\n"
    "  help                 this list\n"
    "  time                 virtual time in seconds and in 72 MHz cycles\n"
    "  step-irq [on|off]    whether a step may enter a pending interrupt (off: steps\n"
    "                       stay in the code being stepped)\n"
    "  press KEY [HOLD]     press a key of the unit (up, down, esc, enter, start, stop)\n"
    "                       for HOLD (300ms unless given; s or ms)\n"
    "  type TEXT            bytes on the console line, C escapes such as \\r\n"
    "  lcd                  the display's four rows\n"
    "  violations           hardware rules broken so far\n"
    "  reset [halt]         pull the board's reset line: the core stays halted at its\n"
    "                       reset vector, SRAM kept (as OpenOCD's reset halt); then\n"
    "                       `maintenance flush register-cache` shows gdb its registers\n"
    "Virtual time stands still while the board is halted; keys and typed bytes take\n"
    "effect once it runs.\n"
    "Reverse execution (reverse-stepi, reverse-step, reverse-continue, reverse-finish)\n"
    "works in batch mode only: the real-time modes refuse it.\n";

// The board image as the debugger sees it.
class BoardTarget final : public gdb::Target {
 public:
  BoardTarget(board::Board& b, emu::EmulatedCpu& cpu)
      : board_(b), cpu_(cpu), tasks_(cpu.image()), typist_(b) {}

  bool read_registers(gdb::ThreadId thread, gdb::Registers& out) override {
    for (unsigned r = 0; r < gdb::kRegisterCount; ++r) out[r] = cpu_.debug_register(r);
    if (thread == gdb::kAnyThread || thread == gdb::kAllThreads || thread == current_thread()) return true;
    // A task that is not running: from the context its switch saved on its stack.
    return tasks_.saved_registers(reader(), static_cast<uint32_t>(thread), out);
  }
  bool write_register(gdb::ThreadId thread, unsigned reg, uint32_t value) override {
    if (thread != gdb::kAnyThread && thread != gdb::kAllThreads && thread != current_thread()) return false;
    return cpu_.set_debug_register(reg, value);
  }
  size_t read_memory(uint32_t address, uint8_t* out, size_t n) override {
    return cpu_.debug_read(address, out, n);
  }
  bool write_memory(uint32_t address, const uint8_t* data, size_t n) override {
    return cpu_.debug_write(address, data, n);
  }
  bool set_point(gdb::PointKind kind, uint32_t address, uint32_t length, bool insert) override {
    switch (kind) {
      case gdb::PointKind::software:
      case gdb::PointKind::hardware:
        return cpu_.set_breakpoint(address, insert);
      case gdb::PointKind::write:
        return cpu_.set_watchpoint(address, length, emu::WatchKind::write, insert);
      case gdb::PointKind::read:
        return cpu_.set_watchpoint(address, length, emu::WatchKind::read, insert);
      case gdb::PointKind::access:
        return cpu_.set_watchpoint(address, length, emu::WatchKind::access, insert);
    }
    return false;
  }
  void resume(bool step) override {
    stepped_ = step;
    if (step)
      cpu_.step();
    else
      cpu_.resume();
  }
  // Taken up by the server once the packet is answered (see GdbHistory).
  bool reverse(bool step) override {
    if (!can_reverse()) return false;
    reverse_ = step ? 1 : 2;
    return true;
  }
  bool can_reverse() const override { return history_ != nullptr && history_->enabled(); }
  void interrupt() override { cpu_.halt(); }
  gdb::StopReason stop_reason() override {
    emu::DebugStop s = cpu_.debug_stop();
    gdb::StopReason why;
    if (history_ != nullptr) history_->take_stop(s, why.history_begin);
    why.address = s.address;
    using R = emu::DebugStop::Reason;
    using K = gdb::StopReason::Kind;
    switch (s.reason) {
      case R::breakpoint:
        why.kind = K::breakpoint;
        break;
      case R::step:
        why.kind = K::step;
        break;
      case R::watch_write:
        why.kind = K::watch_write;
        break;
      case R::watch_read:
        why.kind = K::watch_read;
        break;
      case R::watch_access:
        why.kind = K::watch_access;
        break;
      case R::fault:
        why.kind = K::fault;
        break;
      default:
        why.kind = K::interrupted;
    }
    return why;
  }

  std::vector<gdb::Thread> threads() override {
    std::vector<gdb::Thread> out;
    // Before the scheduler starts, main runs on the main stack and the tasks made
    // so far wait with their first context.
    if (!tasks_.started(reader())) out.push_back({kNoTasks, "main", "running"});
    for (const gdb::KernelTask& t : tasks_.tasks(reader()))
      out.push_back({static_cast<gdb::ThreadId>(t.tcb), t.name, t.state});
    return out;
  }
  gdb::ThreadId current_thread() override {
    const uint32_t tcb = tasks_.current(reader());
    return tcb != 0 && tasks_.started(reader()) ? static_cast<gdb::ThreadId>(tcb) : kNoTasks;
  }

  std::string monitor(const std::string& line) override {
    const size_t space = line.find(' ');
    const std::string command = line.substr(0, space);
    std::string rest = space == std::string::npos ? "" : line.substr(space + 1);
    while (!rest.empty() && rest.back() == ' ') rest.pop_back();
    char text[160];
    if (command == "help" || command.empty()) return kMonitorHelp;
    if (command == "time") {
      std::snprintf(text, sizeof text, "%.6f s (%llu cycles at 72 MHz)\n",
                    static_cast<double>(board_.now()) / static_cast<double>(board::kCpuHz),
                    static_cast<unsigned long long>(board_.now()));
      return text;
    }
    if (command == "step-irq") {
      if (rest == "on" || rest == "off")
        cpu_.set_step_interrupts(rest == "on");
      else if (!rest.empty())
        return "step-irq takes on or off\n";
      return cpu_.step_interrupts() ? "step-irq on: a step enters a pending interrupt\n"
                                    : "step-irq off: steps stay in the code being stepped\n";
    }
    if (command == "press") {
      const size_t gap = rest.find(' ');
      const std::string key = rest.substr(0, gap);
      const std::string hold = gap == std::string::npos ? "" : rest.substr(gap + 1);
      std::vector<KeyPress> presses;
      std::string error;
      if (key.empty() || !parse_key_presses(key + "@0ms" + (hold.empty() ? "" : "+" + hold), presses, error))
        return "press KEY [HOLD]: KEY one of up, down, esc, enter, start, stop; HOLD such as 300ms or 1s\n";
      press_for(board_, presses[0].key, hold.empty() ? kDefaultHold : presses[0].hold);
      return "pressed " + key + " (the firmware sees it once the board runs)\n";
    }
    if (command == "type") {
      const std::string bytes = unescape(rest);
      if (bytes.empty()) return "type TEXT: the bytes to put on the console line, C escapes such as \\r\n";
      typist_.type(bytes);
      std::snprintf(text, sizeof text, "%zu byte(s) queued on the console line\n", bytes.size());
      return text;
    }
    if (command == "lcd") {
      std::string out;
      for (int row = 0; row < board::Hd44780::kRows; ++row) {
        out += '|';
        out += board_.lcd.row_text(row);
        out += "|\n";
      }
      return out;
    }
    if (command == "violations") {
      std::string out =
          board_.rules.count() == 0 ? "no hardware rule broken so far\n" : board_.rules.report();
      out += board_.rules.rounding_report();
      if (board_.lcd.violations() > 0) {
        std::snprintf(text, sizeof text, "%llu display timing violation(s)\n",
                      static_cast<unsigned long long>(board_.lcd.violations()));
        out += text;
      }
      return out;
    }
    if (command == "reset") {
      if (!rest.empty() && rest != "halt")
        return "reset takes nothing or halt: the core stays halted at its reset vector either way\n";
      // gdb asks only while it holds the core halted (between instructions, out of
      // the emulator's run), and it stays so.
      if (!cpu_.debug_halted()) return "reset needs the core halted\n";
      board_.reset();
      std::snprintf(text, sizeof text, "reset: halted at the reset vector, pc 0x%08x sp 0x%08x\n",
                    cpu_.debug_register(emu::kDebugPc), cpu_.debug_register(emu::kDebugSp));
      return text;
    }
    return "unknown command '" + command + "' (monitor help lists them)\n";
  }

  void set_history(GdbHistory* history) { history_ = history; }
  // 0, or the reverse execution asked for: 1 a step, 2 a continue; once.
  int take_reverse() { return std::exchange(reverse_, 0); }
  bool stepped() const { return stepped_; }
  void modified() {
    if (history_ != nullptr) history_->modified();
  }
  std::vector<HistoryPoint> history_points() const {
    std::vector<HistoryPoint> out;
    for (const Point& p : points_) out.push_back({static_cast<uint8_t>(p.kind), p.address, p.length});
    return out;
  }
  void set_history_points(const std::vector<HistoryPoint>& points) {
    forget_points();
    for (const HistoryPoint& p : points) {
      const auto kind = static_cast<gdb::PointKind>(p.kind);
      if (set_point(kind, p.address, p.length, true)) noted(kind, p.address, p.length, true);
    }
  }

  void detach() override { forget_points(); }
  void kill() override {
    forget_points();
    cpu_.stop_for_good("the debugger killed the run");
  }

  // Breakpoints and watchpoints left by a debugger that went away.
  void forget_points() {
    for (const Point& p : points_) set_point(p.kind, p.address, p.length, false);
    points_.clear();
  }
  // What the debugger has inserted, to take out if it leaves without.
  void noted(gdb::PointKind kind, uint32_t address, uint32_t length, bool insert) {
    if (insert) {
      points_.push_back({kind, address, length});
      return;
    }
    for (size_t i = 0; i < points_.size(); ++i) {
      if (points_[i].kind == kind && points_[i].address == address && points_[i].length == length) {
        points_.erase(points_.begin() + static_cast<long>(i));
        return;
      }
    }
  }

 private:
  static constexpr gdb::ThreadId kNoTasks = 1;
  struct Point {
    gdb::PointKind kind;
    uint32_t address, length;
  };

  gdb::MemoryReader reader() {
    return [this](uint32_t address, void* out, size_t n) { return cpu_.debug_read(address, out, n) == n; };
  }

  board::Board& board_;
  emu::EmulatedCpu& cpu_;
  gdb::KernelTasks tasks_;
  Typist typist_;
  std::vector<Point> points_;
  GdbHistory* history_ = nullptr;
  int reverse_ = 0;
  bool stepped_ = false;
};

// Records the points a session sets, then passes them on.
class RecordingTarget final : public gdb::Target {
 public:
  explicit RecordingTarget(BoardTarget& t) : t_(t) {}
  bool read_registers(gdb::ThreadId th, gdb::Registers& out) override { return t_.read_registers(th, out); }
  bool write_register(gdb::ThreadId th, unsigned r, uint32_t v) override {
    t_.modified();
    return t_.write_register(th, r, v);
  }
  size_t read_memory(uint32_t a, uint8_t* out, size_t n) override { return t_.read_memory(a, out, n); }
  bool write_memory(uint32_t a, const uint8_t* d, size_t n) override {
    t_.modified();
    return t_.write_memory(a, d, n);
  }
  bool set_point(gdb::PointKind k, uint32_t a, uint32_t l, bool insert) override {
    const bool ok = t_.set_point(k, a, l, insert);
    if (ok) t_.noted(k, a, l, insert);
    return ok;
  }
  void resume(bool step) override { t_.resume(step); }
  bool reverse(bool step) override { return t_.reverse(step); }
  bool can_reverse() const override { return t_.can_reverse(); }
  void interrupt() override { t_.interrupt(); }
  gdb::StopReason stop_reason() override { return t_.stop_reason(); }
  std::vector<gdb::Thread> threads() override { return t_.threads(); }
  gdb::ThreadId current_thread() override { return t_.current_thread(); }
  std::string monitor(const std::string& c) override {
    // Those that change the board (the others only look).
    const std::string word = c.substr(0, c.find(' '));
    if (word == "press" || word == "type" || word == "reset" || word == "step-irq") t_.modified();
    return t_.monitor(c);
  }
  void detach() override { t_.detach(); }
  void kill() override { t_.kill(); }

 private:
  BoardTarget& t_;
};

class GdbServer {
 public:
  GdbServer(board::Board& b, emu::EmulatedCpu& cpu, const Options& options)
      : board_(b),
        cpu_(cpu),
        target_(b, cpu),
        recording_(target_),
        blocking_(options.mode == Options::Mode::batch),
        quiet_(options.mode == Options::Mode::interactive),
        history_(b, cpu, blocking_,
                 {[this] { return target_.history_points(); },
                  [this](const std::vector<HistoryPoint>& p) { target_.set_history_points(p); }}) {
    target_.set_history(&history_);
  }

  bool listen_on(const std::string& endpoint, std::string& error) {
    int port = 0;
    if (tcp_port(endpoint, port)) {
      listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      const int on = 1;
      setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
      sockaddr_in a{};
      a.sin_family = AF_INET;
      a.sin_port = htons(static_cast<uint16_t>(port));
      a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);  // the loopback only
      if (listen_fd_ < 0 || bind(listen_fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        error = "--gdb " + endpoint + ": " + std::strerror(errno);
        return false;
      }
      where_ = "127.0.0.1:" + endpoint + " (gdb: target remote :" + endpoint + ")";
    } else {
      sockaddr_un a{};
      if (endpoint.size() >= sizeof a.sun_path) {
        error = "--gdb " + endpoint + ": the socket path is too long";
        return false;
      }
      // A socket left by an earlier run is replaced; anything else is not ours.
      struct stat st {};
      if (lstat(endpoint.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) {
          error = "--gdb " + endpoint + ": exists and is not a socket";
          return false;
        }
        unlink(endpoint.c_str());
      }
      listen_fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
      a.sun_family = AF_UNIX;
      std::memcpy(a.sun_path, endpoint.c_str(), endpoint.size() + 1);
      if (listen_fd_ < 0 || bind(listen_fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        error = "--gdb " + endpoint + ": " + std::strerror(errno);
        return false;
      }
      unix_path_ = endpoint;
      where_ = endpoint + " (gdb: target remote " + endpoint + ")";
    }
    if (listen(listen_fd_, 2) != 0) {
      error = "--gdb " + endpoint + ": " + std::strerror(errno);
      return false;
    }
    fcntl(listen_fd_, F_SETFL, fcntl(listen_fd_, F_GETFL) | O_NONBLOCK);
    return true;
  }

  void start(bool wait) {
    std::fprintf(stderr, "tarvik-sim: gdb server on %s%s\n", where_.c_str(),
                 wait ? "; the board waits at its reset vector" : "");
    cpu_.set_debug_service([this] { service(); });
    if (wait) cpu_.halt();
    schedule_poll();
  }

  // The run ended with the debugger attached: it hears the program exited.
  void finish() {
    history_.end();
    if (session_ && session_->running()) send(session_->exited(board_.cpu.halted() ? 1 : 0));
    close_connection();
    if (listen_fd_ >= 0) close(listen_fd_);
    listen_fd_ = -1;
    if (!unix_path_.empty()) unlink(unix_path_.c_str());
  }

  bool holds_board() const { return cpu_.debug_halted(); }

  // Until `fd` is readable; the debugger's bytes and connections meanwhile.
  void wait_serving(int fd, const std::function<void()>& run_in_place) {
    for (;;) {
      pollfd fds[3];
      fds[0] = pollfd{fd, POLLIN, 0};
      const nfds_t n = 1 + fill(fds + 1);
      if (poll(fds, n, -1) < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if (fds[0].revents != 0) return;
      // Not halted: as while the board runs (a connection halts the core, a
      // running session's interrupt byte too); then the run takes the halt.
      if (!cpu_.debug_halted()) handle(fds + 1, n - 1, false);
      run_in_place();

    }
  }

  void wait(int timeout_ms) {
    pollfd fds[2];
    const nfds_t n = fill(fds);
    if (poll(fds, n, timeout_ms) < 0 && errno != EINTR) std::perror("tarvik-sim: poll");
  }

 private:
  nfds_t fill(pollfd* fds) const {  // room for two
    nfds_t n = 0;
    if (listen_fd_ >= 0) fds[n++] = pollfd{listen_fd_, POLLIN, 0};
    if (conn_fd_ >= 0) fds[n++] = pollfd{conn_fd_, POLLIN, 0};
    return n;
  }

  // The core is halted (between instructions, outside the emulator's run): the
  // stop reply the debugger waits for, then its packets, until it resumes the
  // core; in batch mode waiting for them, otherwise only what is there now.
  void service() {
    // A run again of the history answers nobody until it arrives.
    if (history_.replay_halt()) return;
    if (left_) {
      // The debugger went away while the board ran: its points go, the board runs on.
      left_ = false;
      target_.forget_points();
      cpu_.resume();
      return;
    }
    if (session_ && session_->running()) send(session_->stopped());
    if (session_ && !held_.empty()) {
      const std::string bytes = std::move(held_);
      held_.clear();
      take(bytes);
    }
    while (cpu_.debug_halted()) {
      pollfd fds[2];
      const nfds_t n = fill(fds);
      if (n == 0) return;
      const int ready = poll(fds, n, blocking_ ? -1 : 0);
      if (ready < 0 && errno != EINTR) return;
      if (ready <= 0) {
        if (!blocking_) return;
        continue;
      }
      handle(fds, n, true);
    }
  }

  void handle(const pollfd* fds, nfds_t n, bool halted) {
    for (nfds_t i = 0; i < n; ++i) {
      if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      if (fds[i].fd == listen_fd_) {
        accept_connection();
      } else if (fds[i].fd == conn_fd_) {
        read_connection(halted);
      }
    }
  }

  // While the board runs: the interrupt byte and new connections.
  static void poll_event(void* self, uint64_t) {
    auto* s = static_cast<GdbServer*>(self);
    if (s->listen_fd_ < 0) return;
    if (s->history_.replaying()) {
      // The connection is the debugger's with the copy that asked: left alone.
      s->schedule_poll();
      return;
    }
    pollfd fds[2];
    const nfds_t n = s->fill(fds);
    if (poll(fds, n, 0) > 0) s->handle(fds, n, false);
    s->schedule_poll();
  }
  void schedule_poll() { board_.events.schedule(board_.now() + kPollEvery, kPollPriority, poll_event, this); }

  void accept_connection() {
    const int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return;
    if (conn_fd_ >= 0) {
      // One debugger at a time: the second hears why and is let go.
      const std::string why = "a debugger is already attached to this board";
      const std::string reply = gdb::frame("E." + why);
      if (write(fd, reply.data(), reply.size()) < 0) {
      }
      close(fd);
      if (!quiet_) std::fprintf(stderr, "tarvik-sim: a second debugger was refused: %s\n", why.c_str());
      return;
    }
    conn_fd_ = fd;
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    session_ = std::make_unique<gdb::Session>(recording_);
    left_ = false;
    cpu_.attach_debugger(true);
    if (!quiet_) std::fprintf(stderr, "tarvik-sim: debugger attached\n");
    // gdb expects a target that is halted when it connects.
    cpu_.halt();
  }

  void read_connection(bool halted) {
    char buf[4096];
    const ssize_t n = read(conn_fd_, buf, sizeof buf);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    if (n <= 0) {
      if (!quiet_) std::fprintf(stderr, "tarvik-sim: the debugger went away\n");
      close_connection();
      if (halted) {
        target_.forget_points();
        cpu_.resume();
      } else {
        left_ = true;
        cpu_.halt();  // to take its points out between instructions
      }
      return;
    }
    const std::string bytes(buf, static_cast<size_t>(n));
    // Packets are answered only while the core is halted: held until then, but
    // for the interrupt byte of a running session.
    if (!halted && !(session_ && session_->running())) {
      held_ += bytes;
      return;
    }
    if (!halted) {
      send(session_->receive(bytes));
      return;
    }
    take(bytes);
  }

  void take(const std::string& bytes) {
    send(session_->receive(bytes));
    if (const int reverse = target_.take_reverse()) {
      // Returns only where nothing earlier could be reached; otherwise a copy
      // that went back answers, and this process has ended.
      if (history_.reverse(reverse == 1) == GdbHistory::Next::reply_now) send(session_->stopped());
      return;
    }
    if (!session_->ended() && session_->running() && blocking_) {
      switch (history_.resumed(target_.stepped())) {
        case GdbHistory::Next::reply_now:
          send(session_->stopped());
          return;
        case GdbHistory::Next::stay_silent:
          return;
        case GdbHistory::Next::carry_on:
          break;
      }
    }
    if (session_->ended()) {
      if (!quiet_) std::fprintf(stderr, "tarvik-sim: debugger detached\n");
      close_connection();
      if (cpu_.debug_halted()) cpu_.resume();
    }
  }

  void send(const std::string& bytes) {
    size_t at = 0;
    while (conn_fd_ >= 0 && at < bytes.size()) {
      const ssize_t n = write(conn_fd_, bytes.data() + at, bytes.size() - at);
      if (n > 0) {
        at += static_cast<size_t>(n);
      } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
        pollfd p{conn_fd_, POLLOUT, 0};
        poll(&p, 1, 1000);
      } else {
        break;
      }
    }
  }

  void close_connection() {
    history_.end();
    if (conn_fd_ >= 0) close(conn_fd_);
    conn_fd_ = -1;
    session_.reset();
    held_.clear();
    cpu_.attach_debugger(false);
  }

  board::Board& board_;
  emu::EmulatedCpu& cpu_;
  BoardTarget target_;
  RecordingTarget recording_;
  const bool blocking_;
  const bool quiet_;  // the terminal is the front panel's: nothing on standard error
  int listen_fd_ = -1, conn_fd_ = -1;
  std::string where_, unix_path_;
  std::unique_ptr<gdb::Session> session_;
  std::string held_;   // bytes that came while the board ran
  bool left_ = false;  // the debugger went away while the board ran
  GdbHistory history_;
};

GdbServer* g_server = nullptr;

}  // namespace

std::string gdb_options_problem(const Options& options) {
  if (options.gdb_wait && options.gdb.empty()) return "--gdb-wait needs --gdb";
  if (!options.gdb.empty() && image_path(options).empty())
    return "--gdb needs --image (the host build runs under gdb itself: make debug-host)";
  return "";
}

void start_gdb_server(board::Board& b, emu::EmulatedCpu& cpu, const Options& options) {
  if (options.gdb.empty() || g_server != nullptr) return;
  auto* server = new GdbServer(b, cpu, options);  // as long as the core: the board's events hold it
  std::string error;
  if (!server->listen_on(options.gdb, error)) {
    std::fprintf(stderr, "tarvik-sim: %s\n", error.c_str());
    std::exit(2);
  }
  g_server = server;
  server->start(options.gdb_wait);
}

void finish_gdb_server() {
  if (g_server != nullptr) g_server->finish();
}

bool debugger_holds_board() { return g_server != nullptr && g_server->holds_board(); }

void wait_for_debugger(int timeout_ms) {
  if (g_server != nullptr) g_server->wait(timeout_ms);
}

void wait_serving_debugger(int fd, const std::function<void()>& run_in_place) {
  if (g_server != nullptr) g_server->wait_serving(fd, run_in_place);
}

}  // namespace sim
