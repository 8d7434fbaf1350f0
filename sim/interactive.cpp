// Interactive mode: the console on this terminal in raw mode, virtual time paced
// to the wall clock. Keystrokes arrive on the line when they are typed.
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "machine.h"
#include "sim.h"

namespace sim {

namespace {

constexpr Cycles kSlice = seconds(0.01);
constexpr auto kMaxLag = std::chrono::milliseconds(200);  // beyond this, re-anchor instead of sprinting
constexpr uint8_t kQuitKey = 0x1D;                        // Ctrl-]
constexpr uint8_t kKeyPrefix = 0x0B;                      // Ctrl-K, then 1-6: a key of the unit
constexpr Cycles kKeyHold = seconds(0.3);                 // long enough for every consumer's poll

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

}  // namespace

// Runs until Ctrl-] or the end of input; returns the exit status.
static int interact(Machine& m) {
  using Clock = std::chrono::steady_clock;
  std::fputs("tarvik-sim: the unit's console is on this terminal; Ctrl-] quits; Ctrl-K then 1-6 presses\r\n"
             "  a key: 1 up, 2 down, 3 esc, 4 enter, 5 start, 6 stop.\r\n",
             stderr);
  board::Board& b = m.board();
  std::string out;
  b.usart1.set_tx_sink([&](uint8_t byte) { out.push_back(static_cast<char>(byte)); });
  LineInput input(b, b.usart1, LineInput::Mode::live);

  auto wall_anchor = Clock::now();
  Cycles virtual_anchor = 0;
  bool halt_reported = false;
  bool key_prefix = false;
  for (;;) {
    m.run_until(m.now() + kSlice);
    if (!out.empty()) {
      if (write(STDOUT_FILENO, out.data(), out.size()) < 0) return 1;
      out.clear();
    }
    if (m.halted() && !halt_reported) {
      std::fprintf(stderr, "\r\ntarvik-sim: the board halted: %s (Ctrl-] quits)\r\n",
                   b.cpu.halt_reason().c_str());
      halt_reported = true;
    }
    const auto deadline = wall_anchor + std::chrono::nanoseconds(
                                            static_cast<int64_t>(to_seconds(m.now() - virtual_anchor) * 1e9));
    if (Clock::now() > deadline + kMaxLag) {
      wall_anchor = Clock::now();
      virtual_anchor = m.now();
      continue;
    }
    for (;;) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      pollfd pfd{STDIN_FILENO, POLLIN, 0};
      if (poll(&pfd, 1, left > 0 ? static_cast<int>(left) : 0) <= 0) break;
      uint8_t buf[64];
      const ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
      if (n <= 0) return 0;
      for (ssize_t i = 0; i < n; ++i) {
        if (key_prefix) {
          key_prefix = false;
          // In the order of the key codes: 1 up, 2 down, 3 esc, 4 enter, 5 start, 6 stop.
          if (buf[i] >= '1' && buf[i] <= '6') press_for(b, static_cast<board::Key>(buf[i] - '1'), kKeyHold);
          continue;
        }
        if (buf[i] == kKeyPrefix) {
          key_prefix = true;
          continue;
        }
        if (buf[i] == kQuitKey) {
          std::fputs("\r\n", stderr);
          return 0;
        }
        input.push(buf[i]);
      }
    }
  }
}

int run_interactive(const Options& options) {
  Machine m(options);
  int status;
  {
    RawTerminal terminal;
    status = interact(m);
  }
  std::fputs(m.finish().c_str(), stderr);
  return status;
}

}  // namespace sim
