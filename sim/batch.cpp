// Batch mode: virtual time as fast as the host can run it; the console line's
// input comes from a script and its output is collected byte for byte.
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <string>

#include "gdb_history.h"
#include "machine.h"
#include "sim.h"

namespace sim {

namespace {

constexpr Cycles kCheckEvery = seconds(0.01);

// Reads standard input as the firmware consumes it, so a script may be endless.
// Under a debugger that can go back, every byte taken from the descriptor is
// first put in a memory file that the checkpoint copies share: a copy running
// history again reads what the first run read, which the pipe no longer holds.
class StdinSource {
 public:
  explicit StdinSource(bool shared) {
    if (shared) log_ = memfd_create("tarvik-stdin", MFD_CLOEXEC);
  }
  ~StdinSource() {
    if (log_ >= 0) close(log_);
  }
  StdinSource(const StdinSource&) = delete;
  StdinSource& operator=(const StdinSource&) = delete;

  bool next(uint8_t& byte) {
    if (eof_) return false;
    if (log_ < 0) {
      const int c = std::getchar();
      if (c == EOF) return end();
      byte = static_cast<uint8_t>(c);
      return true;
    }
    struct stat st {};
    if (fstat(log_, &st) == 0 && static_cast<uint64_t>(st.st_size) <= at_) {
      char chunk[4096];
      ssize_t n;
      do n = read(STDIN_FILENO, chunk, sizeof chunk);
      while (n < 0 && errno == EINTR);
      if (n <= 0) return end();
      if (pwrite(log_, chunk, static_cast<size_t>(n), static_cast<off_t>(at_)) != n) return end();
    }
    if (pread(log_, &byte, 1, static_cast<off_t>(at_)) != 1) return end();
    ++at_;
    return true;
  }

 private:
  bool end() {
    eof_ = true;
    return false;
  }

  int log_ = -1;
  uint64_t at_ = 0;  // this process's place in the log
  bool eof_ = false;
};

template <typename Feed, typename Emit>
BatchResult run(const Options& options, Feed feed, Emit emit) {
  Machine m(options);
  board::Board& b = m.board();
  BatchResult result;
  Cycles last_output = 0;
  b.usart1.set_tx_sink([&](uint8_t byte) {
    // A debugger's reverse execution runs history again whose bytes are out already.
    if (!history_output_muted(b.now())) emit(byte);
    last_output = b.now();
  });
  LineInput input(b, b.usart1, LineInput::Mode::paced);
  input.set_faults(m.console_faults());
  bool input_done = false;
  auto top_up = [&] {
    // Keep one byte queued ahead of the firmware.
    while (!input_done && input.queued() == 0) {
      uint8_t byte;
      if (!feed(byte)) {
        input_done = true;
        break;
      }
      input.push(byte);
    }
  };

  if (options.until_s >= 0) {
    const Cycles until = seconds(options.until_s);
    m.run_while(
        [&] {
          top_up();
          return true;
        },
        kCheckEvery, until);
  } else {
    const Cycles settle = seconds(options.settle_s);
    m.run_while(
        [&] {
          top_up();
          const bool finished = (input_done && input.idle()) || m.halted();
          const Cycles last = std::max(last_output, input.last_activity());
          return !(finished && m.now() - last >= settle);
        },
        kCheckEvery);
  }
  result.diagnostics = m.finish();
  result.exit_status = m.halted() ? 1 : 0;
  return result;
}

}  // namespace

BatchResult run_batch(const std::string& input, const Options& options) {
  size_t pos = 0;
  std::string console;
  BatchResult r = run(
      options,
      [&](uint8_t& byte) {
        if (pos >= input.size()) return false;
        byte = static_cast<uint8_t>(input[pos++]);
        return true;
      },
      [&](uint8_t byte) { console.push_back(static_cast<char>(byte)); });
  r.console = std::move(console);
  return r;
}

int run_batch_stdio(const Options& options) {
  StdinSource source(!options.gdb.empty());
  const BatchResult r = run(
      options, [&](uint8_t& byte) { return source.next(byte); }, [](uint8_t byte) { std::putchar(byte); });
  std::fflush(stdout);
  if (!r.diagnostics.empty()) std::fputs(r.diagnostics.c_str(), stderr);
  return r.exit_status;
}

}  // namespace sim
