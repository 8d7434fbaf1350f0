// What the front panel costs: virtual seconds per wall second of the motor under
// PID with RS485 streaming, run by tarvik-sim in batch mode, and the same run on
// the front panel (drawn on a pseudo-terminal) and on the plain console, both
// with pacing off.
#include <fcntl.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#ifndef TARVIK_SIM_PATH
#error "TARVIK_SIM_PATH names the tarvik-sim to measure"
#endif

namespace {

const char kScenario[] = "e3on\re3pid -f=0 500\r";

// Runs tarvik-sim with `args`; with `terminal`, on a pseudo-terminal of 100x30
// whose output is read and dropped, else with the scenario on a pipe. Returns
// the wall seconds, or a negative number if it failed.
double run(const std::vector<std::string>& args, bool terminal) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(TARVIK_SIM_PATH));
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const auto start = std::chrono::steady_clock::now();
  int fd = -1;
  pid_t pid;
  if (terminal) {
    winsize size{30, 100, 0, 0};
    // Raw from the start, so that the bytes typed before curses sets its modes
    // arrive as they are.
    termios raw{};
    cfmakeraw(&raw);
    pid = forkpty(&fd, nullptr, &raw, &size);
    if (pid == 0) {
      setenv("TERM", "xterm", 1);
      execv(argv[0], argv.data());
      _exit(127);
    }
  } else {
    int p[2];
    if (pipe(p) != 0) return -1;
    pid = fork();
    if (pid == 0) {
      dup2(p[0], STDIN_FILENO);
      close(p[1]);
      const int null = open("/dev/null", O_WRONLY);
      dup2(null, STDOUT_FILENO);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(p[0]);
    fd = p[1];
  }
  if (pid < 0) return -1;
  // Typed at once: without pacing the console takes each byte in its turn.
  if (write(fd, kScenario, sizeof kScenario - 1) < 0) return -1;
  if (terminal) {
    char buf[4096];
    while (read(fd, buf, sizeof buf) > 0 || errno == EINTR) {
    }
  }
  close(fd);
  int status = 0;
  waitpid(pid, &status, 0);
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? wall : -1;
}

}  // namespace

int main(int argc, char** argv) {
  const double virtual_s = argc > 1 ? std::atof(argv[1]) : 60.0;
  const std::string until = std::to_string(virtual_s);
  char backup[] = "/tmp/tarvik-bench-panel-XXXXXX";
  const int b = mkstemp(backup);
  if (b < 0) return 1;
  close(b);
  unlink(backup);  // tarvik-sim makes it
  const double batch = run({"--batch", "--until", until}, false);
  const double panel = run({"--unpaced", "--until", until, "--backup", backup}, true);
  const double plain = run({"--unpaced", "--plain", "--until", until, "--backup", backup}, true);
  unlink(backup);
  if (batch <= 0 || panel <= 0 || plain <= 0) {
    std::fprintf(stderr, "bench_panel: a run of %s failed\n", TARVIK_SIM_PATH);
    return 1;
  }
  std::printf("motor under PID with RS485 streaming, %.0f virtual s from reset, whole tarvik-sim runs:\n", virtual_s);
  std::printf("  batch mode:                       %.0fx real time (%.3f wall s)\n", virtual_s / batch, batch);
  std::printf("  front panel, drawing, unpaced:    %.0fx real time (%.3f wall s)\n", virtual_s / panel, panel);
  std::printf("  plain console, unpaced:           %.0fx real time (%.3f wall s)\n", virtual_s / plain, plain);
  std::printf("  the panel's cost against batch:   %.1f %%\n", (panel - batch) / batch * 100.0);
  return 0;
}
