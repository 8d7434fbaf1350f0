// Real-time modes: virtual time paced to the wall clock, with the serial lines on
// this terminal (interactive) or on pseudo-terminals (--pty) for terminal
// programs. Bytes typed arrive on the line at the moment they are typed.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "gdb_server.h"
#include "machine.h"
#include "panel.h"
#include "sim.h"
#include "wiring.h"

namespace sim {

namespace {

constexpr Cycles kSlice = seconds(0.01);
constexpr auto kMaxLag = std::chrono::milliseconds(200);  // beyond this, re-anchor instead of sprinting
constexpr uint8_t kQuitKey = 0x1D;                        // Ctrl-]
constexpr uint8_t kKeyPrefix = 0x0B;                      // Ctrl-K, then 1-6: a key of the unit
constexpr Cycles kKeyHold = seconds(0.3);                 // long enough for every consumer's poll
constexpr int kDebuggerWait = 20;                         // ms, while the debugger holds the board

class RawTerminal {
 public:
  RawTerminal() {
    if (tcgetattr(STDIN_FILENO, &saved_) != 0) return;
    termios raw = saved_;
    cfmakeraw(&raw);
    raw.c_oflag |= OPOST;  // the panel's own lines still end properly; console bytes pass as they are
    raw.c_oflag &= ~static_cast<tcflag_t>(ONLCR);
    active_ = tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0;
  }
  ~RawTerminal() {
    if (active_) tcsetattr(STDIN_FILENO, TCSANOW, &saved_);
  }
  RawTerminal(const RawTerminal&) = delete;
  RawTerminal& operator=(const RawTerminal&) = delete;

 private:
  termios saved_{};
  bool active_ = false;
};

// A pseudo-terminal whose far end a terminal program opens like a serial port.
class Pty {
 public:
  bool open_pty(std::string& error) {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
      error = std::strerror(errno);
      return false;
    }
    path_ = ptsname(master_);
    // Holding the far end open keeps the line up while no program is attached,
    // and raw mode passes every byte as it is until one sets its own.
    slave_ = open(path_.c_str(), O_RDWR | O_NOCTTY);
    termios t{};
    if (slave_ < 0 || tcgetattr(slave_, &t) != 0) {
      error = std::strerror(errno);
      return false;
    }
    cfmakeraw(&t);
    cfsetispeed(&t, B115200);
    cfsetospeed(&t, B115200);
    tcsetattr(slave_, TCSANOW, &t);
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
    return true;
  }
  ~Pty() {
    if (slave_ >= 0) close(slave_);
    if (master_ >= 0) close(master_);
  }
  int fd() const { return master_; }
  const std::string& path() const { return path_; }
  // What nobody reads is dropped, as on a line with nothing attached.
  void send(const std::string& bytes) {
    if (!bytes.empty() && write(master_, bytes.data(), bytes.size()) < 0) {
    }
  }

 private:
  int master_ = -1, slave_ = -1;
  std::string path_;
};

// Where bytes come from during a real-time run.
struct Source {
  int fd;
  std::function<bool(const uint8_t*, size_t)> take;  // false ends the run
  std::function<bool()> pump = nullptr;              // or: reads for itself when the fd is ready
};

struct RunControl {
  bool paced = true;          // virtual time at the wall clock's pace, else as fast as it goes
  Cycles until = ~Cycles{0};  // the run ends here
  bool report_halt = true;    // on standard error (the panel shows it instead)
};

// The simulator's own keys: Ctrl-K then 1-6 presses a unit key, Ctrl-] quits;
// other bytes go to `other` (the console, or nowhere).
class KeyReader {
 public:
  KeyReader(board::Board& b, std::function<void(uint8_t)> other) : board_(b), other_(std::move(other)) {}
  bool take(const uint8_t* buf, size_t n) {
    for (size_t i = 0; i < n; ++i) {
      if (prefix_) {
        prefix_ = false;
        // In the order of the key codes: 1 up, 2 down, 3 esc, 4 enter, 5 start, 6 stop.
        if (buf[i] >= '1' && buf[i] <= '6')
          press_for(board_, static_cast<board::Key>(buf[i] - '1'), kKeyHold);
      } else if (buf[i] == kKeyPrefix) {
        prefix_ = true;
      } else if (buf[i] == kQuitKey) {
        return false;
      } else if (other_) {
        other_(buf[i]);
      }
    }
    return true;
  }

 private:
  board::Board& board_;
  std::function<void(uint8_t)> other_;
  bool prefix_ = false;
};

volatile sig_atomic_t g_ended = 0;

// SIGTERM or SIGINT ends a real-time run as Ctrl-] does, so that its files are
// finished (the display, the RS485 bytes, the backup, a recording's end).
void end_run(int) { g_ended = 1; }

// Runs the machine paced to the wall clock until a source or `flush` ends the run;
// `flush` is called after every slice of virtual time.
int run_paced(Machine& m, std::vector<Source>& sources, const std::function<bool()>& flush,
              const RunControl& control = RunControl{}) {
  using Clock = std::chrono::steady_clock;
  auto wall_anchor = Clock::now();
  Cycles virtual_anchor = m.now();
  bool halt_reported = false;
  std::vector<pollfd> fds;
  for (const auto& s : sources) fds.push_back(pollfd{s.fd, POLLIN, 0});
  struct sigaction ending {};
  ending.sa_handler = end_run;
  sigaction(SIGTERM, &ending, nullptr);
  sigaction(SIGINT, &ending, nullptr);
  for (;;) {
    if (m.now() >= control.until || g_ended) return 0;
    m.run_until(std::min(m.now() + kSlice, control.until));
    if (!flush()) return 0;
    if (m.halted() && !halt_reported && control.report_halt) {
      std::fprintf(stderr, "\r\ntarvik-sim: the board halted: %s (Ctrl-] quits)\r\n",
                   m.board().cpu.halt_reason().c_str());
      halt_reported = true;
    }
    if (debugger_holds_board()) {
      // Virtual time stands still: wait for the debugger (the user's input is
      // read below), and pace from here once it lets the board run.
      wait_for_debugger(kDebuggerWait);
      wall_anchor = Clock::now();
      virtual_anchor = m.now();
    }
    const auto deadline = wall_anchor + std::chrono::nanoseconds(
                                            static_cast<int64_t>(to_seconds(m.now() - virtual_anchor) * 1e9));
    if (control.paced && Clock::now() > deadline + kMaxLag) {
      wall_anchor = Clock::now();
      virtual_anchor = m.now();
      continue;
    }
    for (;;) {
      const auto left =
          control.paced
              ? std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count()
              : 0;
      for (auto& p : fds) p.revents = 0;
      if (poll(fds.data(), fds.size(), left > 0 ? static_cast<int>(left) : 0) <= 0 || g_ended) break;
      for (size_t i = 0; i < fds.size(); ++i) {
        if (!(fds[i].revents & (POLLIN | POLLHUP))) continue;
        if (sources[i].pump) {
          if (!sources[i].pump()) return 0;
          continue;
        }
        uint8_t buf[256];
        const ssize_t n = read(fds[i].fd, buf, sizeof buf);
        if (n > 0 && !sources[i].take(buf, static_cast<size_t>(n))) return 0;
        if (n == 0 && fds[i].fd == STDIN_FILENO) return 0;  // end of the simulator's own input
        if (n < 0 && errno != EAGAIN && errno != EINTR) fds[i].fd = -1;
      }
    }
  }
}

// Typed bytes arrive when typed; without pacing, virtual time runs away from the
// typist, so they wait for the firmware to take them instead.
LineInput::Mode input_mode(const Options& options) {
  return options.unpaced ? LineInput::Mode::paced : LineInput::Mode::live;
}

RunControl control_of(const Options& options) {
  RunControl control;
  control.paced = !options.unpaced;
  if (options.until_s >= 0) control.until = seconds(options.until_s);
  control.report_halt = true;
  return control;
}

// Virtual seconds per wall second, over the last second or so of wall time.
class SpeedMeter {
 public:
  using Clock = std::chrono::steady_clock;
  explicit SpeedMeter(Cycles now) : wall_(Clock::now()), virtual_(now) {}
  double sample(Cycles now) {
    const auto wall = Clock::now();
    const double elapsed = std::chrono::duration<double>(wall - wall_).count();
    if (elapsed >= 1.0) {
      speed_ = to_seconds(now - virtual_) / elapsed;
      wall_ = wall;
      virtual_ = now;
    }
    return speed_;
  }

 private:
  Clock::time_point wall_;
  Cycles virtual_;
  double speed_ = 0;
};

// The front panel: the unit's console below a picture of the unit's front.
int interact_panel(Machine& m, const Options& options, PanelScreen& screen) {
  constexpr auto kDrawEvery = std::chrono::milliseconds(40);
  board::Board& b = m.board();
  std::string out;
  b.usart1.set_tx_sink([&](uint8_t byte) { out.push_back(static_cast<char>(byte)); });
  Rs485Watch watch;
  auto recorder = b.rs485.on_byte;  // --rs485 still records what leaves on the bus
  b.rs485.on_byte = [&, recorder](uint8_t byte) {
    watch.byte(b.now(), byte);
    if (recorder) recorder(byte);
  };
  LineInput console(b, b.usart1, input_mode(options));
  console.set_faults(m.console_faults());
  bool prefix = false;
  auto take_keys = [&] {
    for (int ch = screen.next_key(); ch >= 0; ch = screen.next_key()) {
      const KeyAction a = key_action(ch, prefix);
      prefix = a.kind == KeyAction::Kind::prefix;
      switch (a.kind) {
        case KeyAction::Kind::console:
          console.push(a.value);
          break;
        case KeyAction::Kind::unit_key:
          press_for(b, static_cast<board::Key>(a.value), kKeyHold);
          break;
        case KeyAction::Kind::quit:
          return false;
        default:
          break;
      }
    }
    return true;
  };
  std::vector<Source> sources{{STDIN_FILENO, nullptr, take_keys}};
  SpeedMeter meter(m.now());
  auto drawn = std::chrono::steady_clock::now() - kDrawEvery;
  RunControl control = control_of(options);
  control.report_halt = false;
  const int status = run_paced(
      m, sources,
      [&] {
        screen.console_output(out);
        out.clear();
        const auto now = std::chrono::steady_clock::now();
        if (now - drawn < kDrawEvery) return true;
        drawn = now;
        // Also catches a resize, which interrupts the wait for input.
        if (!take_keys()) return false;
        PanelState state = read_panel(b, watch, m.whole_screen(), options.lcd_task);
        state.debugger_halted = debugger_holds_board();
        state.speed = meter.sample(m.now());
        screen.update(state);
        return true;
      },
      control);
  screen.close();
  if (m.halted()) std::fprintf(stderr, "tarvik-sim: the board halted: %s\n", b.cpu.halt_reason().c_str());
  return status;
}

int interact(Machine& m, const Options& options) {
  std::fputs(
      "tarvik-sim: the unit's console is on this terminal; Ctrl-] quits; Ctrl-K then 1-6 presses\r\n"
      "  a key: 1 up, 2 down, 3 esc, 4 enter, 5 start, 6 stop.\r\n",
      stderr);
  board::Board& b = m.board();
  std::string out;
  b.usart1.set_tx_sink([&](uint8_t byte) { out.push_back(static_cast<char>(byte)); });
  LineInput console(b, b.usart1, input_mode(options));
  console.set_faults(m.console_faults());
  KeyReader keys(b, [&](uint8_t byte) { console.push(byte); });
  std::vector<Source> sources{{STDIN_FILENO, [&](const uint8_t* p, size_t n) { return keys.take(p, n); }}};
  const int status = run_paced(
      m, sources,
      [&] {
        if (!out.empty() && write(STDOUT_FILENO, out.data(), out.size()) < 0) {
        }
        out.clear();
        return true;
      },
      control_of(options));
  std::fputs("\r\n", stderr);
  return status;
}

// Replaces a link in `dir` so that it names the pseudo-terminal.
bool link_pty(const std::string& dir, const char* name, const Pty& pty) {
  const std::string link = dir + "/" + name;
  unlink(link.c_str());
  if (symlink(pty.path().c_str(), link.c_str()) == 0) return true;
  std::fprintf(stderr, "tarvik-sim: %s: %s\n", link.c_str(), std::strerror(errno));
  return false;
}

}  // namespace

int run_interactive(const Options& options) {
  Machine m(options);
  int status;
  PanelScreen screen;
  const auto start = std::chrono::steady_clock::now();
  if (!options.plain && isatty(STDOUT_FILENO) && screen.open(stdin, stdout)) {
    m.draw_lcd(false);  // the panel shows it
    status = interact_panel(m, options, screen);
  } else {
    RawTerminal terminal;
    status = interact(m, options);
  }
  if (options.unpaced) {
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::fprintf(stderr, "tarvik-sim: %.1f virtual s in %.3f wall s = %.0fx real time\n", to_seconds(m.now()),
                 wall, to_seconds(m.now()) / wall);
  }
  std::fputs(m.finish().c_str(), stderr);
  return status;
}

int run_pty(const Options& options) {
  Pty console_pty, rs485_pty;
  std::string error;
  if (!console_pty.open_pty(error) || !rs485_pty.open_pty(error)) {
    std::fprintf(stderr, "tarvik-sim: no pseudo-terminal: %s\n", error.c_str());
    return 1;
  }
  if (!options.pty_link.empty() &&
      !(link_pty(options.pty_link, "console", console_pty) && link_pty(options.pty_link, "rs485", rs485_pty)))
    return 1;
  std::printf("console: %s\nrs485: %s\n", console_pty.path().c_str(), rs485_pty.path().c_str());
  std::fflush(stdout);

  Machine m(options);
  board::Board& b = m.board();
  std::string console_out, rs485_out;
  b.usart1.set_tx_sink([&](uint8_t byte) { console_out.push_back(static_cast<char>(byte)); });
  auto recorder = b.rs485.on_byte;  // --rs485 still records what leaves on the bus
  b.rs485.on_byte = [&, recorder](uint8_t byte) {
    rs485_out.push_back(static_cast<char>(byte));
    if (recorder) recorder(byte);
  };
  LineInput console(b, b.usart1, input_mode(options));
  console.set_faults(m.console_faults());
  LineInput rs485_in(b, b.usart2, LineInput::Mode::live);
  KeyReader keys(b, nullptr);
  std::vector<Source> sources{
      {console_pty.fd(),
       [&](const uint8_t* p, size_t n) {
         console.push(std::string(reinterpret_cast<const char*>(p), n));
         return true;
       }},
      {rs485_pty.fd(),
       [&](const uint8_t* p, size_t n) {
         // The transceiver hears the bus only while its driver is off.
         if (!b.gpioa.level(4)) rs485_in.push(std::string(reinterpret_cast<const char*>(p), n));
         return true;
       }},
  };
  const bool terminal = isatty(STDIN_FILENO);
  if (terminal) {
    std::fputs(
        "tarvik-sim: keys from this terminal: Ctrl-K then 1-6 (1 up, 2 down, 3 esc, 4 enter, 5 start,\n"
        "  6 stop); Ctrl-] quits.\n",
        stderr);
    sources.push_back({STDIN_FILENO, [&](const uint8_t* p, size_t n) { return keys.take(p, n); }});
  }
  int status;
  {
    std::unique_ptr<RawTerminal> raw = terminal ? std::make_unique<RawTerminal>() : nullptr;
    status = run_paced(
        m, sources,
        [&] {
          console_pty.send(console_out);
          console_out.clear();
          rs485_pty.send(rs485_out);
          rs485_out.clear();
          return true;
        },
        control_of(options));
  }
  std::fputs(m.finish().c_str(), stderr);
  return status;
}

}  // namespace sim
