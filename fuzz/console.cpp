// The console as a byte stream. A fresh board at its first prompt takes arbitrary
// bytes as typed, each once the console has read the one before. Then STOP is held
// (it ends keys and freq3), the line is emptied with backspaces and help is typed:
// help must answer exactly, unless the input legitimately took the console away
// (delt CONSOLE, aly, or keys or freq3 after delt KEYS).
//
// Each input runs in a child forked from the booted board, so every input meets
// the same fresh board; the child hands its coverage counters back to the fuzzer
// through a pipe, and its exit status carries its findings.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "board_task.h"
#include "help_text.h"
#include "main.h"

extern "C" {
// The fuzzer's coverage counters of this program, placed by the compiler.
__attribute__((weak)) extern uint8_t __start___sancov_cntrs[];
__attribute__((weak)) extern uint8_t __stop___sancov_cntrs[];
}

namespace {

constexpr size_t kMaxInput = 160;
constexpr board::Cycles kStep = board::kCpuHz / 200;  // 5 ms
constexpr int kFinding = 3;

board::Cycles ms(int n) { return static_cast<board::Cycles>(n) * (board::kCpuHz / 1000); }

// Bytes typed on the console line, the next one once the firmware read the last.
class Typist {
 public:
  explicit Typist(board::Board& b) : board_(b) {
    board_.usart1.set_rx_taken([this] { in_flight_ = false; });
  }
  void type(const std::string& bytes) { queue_.insert(queue_.end(), bytes.begin(), bytes.end()); }
  bool idle() const { return queue_.empty() && !in_flight_; }
  // Runs for `span`, or until every byte was read if `until_idle`.
  void run(board::Cycles span, bool until_idle) {
    const board::Cycles end = board_.now() + span;
    while (board_.now() < end && !board_.cpu.halted()) {
      if (until_idle && idle()) return;
      if (!in_flight_ && !queue_.empty() && board_.usart1.accepting()) {
        board_.usart1.receive(static_cast<uint8_t>(queue_.front()));
        queue_.pop_front();
        in_flight_ = true;
      }
      board_.run_until(board_.now() + kStep);
    }
  }

 private:
  board::Board& board_;
  std::deque<char> queue_;
  bool in_flight_ = false;
};

bool task_running(const char* name) {
  for (const sTasks* row = fTasks; row->name != nullptr; ++row)
    if (std::strcmp(reinterpret_cast<const char*>(*row->name), name) == 0) return row->flags & TASK_RUNNING;
  return false;
}

// aly streams "%.4d,%.4d\n\r" for good: a sample line near the end of the output.
bool in_aly(const std::string& out) {
  const size_t end = out.rfind("\n\r");
  if (end == std::string::npos || out.size() - end > 100) return false;
  size_t p = end;
  auto number = [&] {
    const size_t last = p;
    while (p > 0 && out[p - 1] >= '0' && out[p - 1] <= '9') --p;
    if (p > 0 && out[p - 1] == '-') --p;
    return last - p >= 4;
  };
  if (!number() || p == 0 || out[--p] != ',') return false;
  return number();
}

void hold_stop(board::Board& b, Typist& typist) {
  b.keypad.press(board::Key::stop);
  typist.run(ms(1200), false);  // freq3 looks once a second
  b.keypad.release(board::Key::stop);
  typist.run(ms(200), false);
}

int run_child(const uint8_t* data, size_t size) {
  board::Board& b = board::the_board();
  std::string& out = fuzz::console();
  Typist typist(b);

  typist.type(std::string(reinterpret_cast<const char*>(data), size));
  // A handler that waits for STOP holds the rest of the input back; each such
  // command takes five bytes at least ("keys\r").
  for (size_t round = 0; round <= kMaxInput / 4 && !typist.idle(); ++round) {
    typist.run(ms(60) * static_cast<board::Cycles>(size) + ms(2000), true);
    if (!typist.idle()) hold_stop(b, typist);
  }
  typist.run(ms(300), false);
  hold_stop(b, typist);

  // Empty the line: a backspace on an empty line echoes nothing.
  for (int n = 0; n < 50; ++n) {
    const size_t before = out.size();
    typist.type("\b");
    typist.run(ms(3000), true);
    typist.run(ms(60), false);
    if (out.size() == before) break;
  }
  const size_t mark = out.size();
  typist.type("help\r");
  const std::string expected = "help\r\n" + help_text::listing() + "\r\nconsole>";
  const board::Cycles limit = b.now() + ms(5000);
  while (b.now() < limit && !b.cpu.halted() && out.size() < mark + expected.size()) typist.run(ms(50), false);
  typist.run(ms(100), false);
  const std::string answer = out.substr(mark);
  if (b.cpu.halted()) {
    std::fprintf(stderr, "console: the board halted: %s\n", b.cpu.halt_reason().c_str());
    return kFinding;
  }
  if (answer == expected) return 0;
  const bool excused = !task_running("CONSOLE") || in_aly(out) || !task_running("KEYS");
  if (excused) return 0;
  std::fprintf(stderr, "console: help answered \"%s\"\nafter: \"%s\"\n", answer.c_str(),
               out.substr(out.size() > 400 ? out.size() - 400 : 0).c_str());
  return kFinding;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  // No memory-watching thread: a fork would copy it away in the middle of its work.
  static std::vector<char*> args(*argv, *argv + *argc);
  static char no_rss[] = "-rss_limit_mb=0";
  args.insert(args.begin() + 1, no_rss);
  args.push_back(nullptr);
  *argc += 1;
  *argv = args.data();
  fuzz::boot_firmware();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > kMaxInput) return 0;
  const size_t counters = static_cast<size_t>(__stop___sancov_cntrs - __start___sancov_cntrs);
  int pipefd[2];
  if (pipe(pipefd) != 0) std::abort();
  std::fflush(stderr);
  const pid_t pid = fork();
  if (pid < 0) std::abort();
  if (pid == 0) {
    close(pipefd[0]);
    const int status = run_child(data, size);
    for (size_t done = 0; done < counters;) {
      const ssize_t n = write(pipefd[1], __start___sancov_cntrs + done, counters - done);
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
    _exit(status);
  }
  close(pipefd[1]);
  std::vector<uint8_t> seen(counters);
  size_t got = 0;
  while (got < counters) {
    const ssize_t n = read(pipefd[0], seen.data() + got, counters - got);
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  close(pipefd[0]);
  for (size_t i = 0; i < got; ++i)
    if (seen[i] > __start___sancov_cntrs[i]) __start___sancov_cntrs[i] = seen[i];
  int status = 0;
  waitpid(pid, &status, 0);
  // The child's report is above; this makes the input a finding.
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) std::abort();
  return 0;
}
