// What a debugger on the board image costs: the PID scenario as whole tarvik-sim
// runs in batch mode on the image, without --gdb, with a debugger attached and
// nothing set, and with four breakpoints and two watchpoints (one on RAM, one on
// a peripheral register) where the scenario never goes; virtual seconds per wall
// second and per processor second, the best of a few runs of each taken in turns.
//
//   bench_gdb [ELF [SECONDS [RUNS]]]   default build/arm/tarvik.elf, 30, 2
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "elf_image.h"
#include "gdb/packet.h"

#ifndef TARVIK_SIM_PATH
#error "TARVIK_SIM_PATH names the tarvik-sim to measure"
#endif

namespace {

using Clock = std::chrono::steady_clock;

const char kScenario[] = "e3on\re3pid -f=0 500\r";

// Code and data the PID scenario never reaches: console commands it does not
// type, the LCD task it does not start, a backup register nothing writes.
const char* const kUnusedCode[] = {"console_backup_set", "console_var_del", "console_lcd_str", "vTaskLcd"};
const char* const kUnusedData = "fMenu";           // the LCD task's menu table
constexpr uint32_t kUnusedRegister = 0x40006C28u;  // BKP DR10

struct Figures {
  double wall = 1e9, cpu = 1e9;
};

// A minimal debugger: inserts the points, continues, waits for the end of the run.
bool debug(const std::string& socket_path, const std::vector<std::string>& packets) {
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  std::snprintf(a.sun_path, sizeof a.sun_path, "%s", socket_path.c_str());
  for (int tries = 0; connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0; ++tries) {
    if (tries > 500) return false;
    usleep(10000);
  }
  std::vector<std::string> all = {"QStartNoAckMode"};
  all.insert(all.end(), packets.begin(), packets.end());
  all.push_back("vCont;c");
  emu::gdb::PacketReader reader;
  for (size_t i = 0; i < all.size(); ++i) {
    const std::string framed = emu::gdb::frame(all[i]);
    if (write(fd, framed.data(), framed.size()) != static_cast<ssize_t>(framed.size())) return false;
    // Every packet but the last gets its reply now; the last one's comes at the end of the run.
    for (bool answered = false; !answered;) {
      uint8_t buf[512];
      const ssize_t n = read(fd, buf, sizeof buf);
      if (n <= 0) {
        close(fd);
        return i + 1 == all.size();
      }
      std::vector<emu::gdb::PacketReader::Event> events;
      reader.feed(buf, static_cast<size_t>(n), events);
      for (const auto& e : events) {
        if (e.kind != emu::gdb::PacketReader::Event::Kind::packet) continue;
        if (i + 1 < all.size() && e.payload != "OK") {
          std::fprintf(stderr, "bench_gdb: %s: %s\n", all[i].c_str(), e.payload.c_str());
          return false;
        }
        answered = true;
      }
      if (i + 1 == all.size()) answered = false;  // read on until the run's end closes it
    }
  }
  close(fd);
  return true;
}

// One whole run; false if it did not end well.
bool run(const std::string& elf, double seconds, const std::vector<std::string>* packets, Figures& f) {
  char until[32];
  std::snprintf(until, sizeof until, "%g", seconds);
  const std::string socket_path = "/tmp/bench_gdb." + std::to_string(getpid()) + ".sock";
  std::vector<std::string> args = {TARVIK_SIM_PATH, "--batch", "--until", until, "--image", elf};
  if (packets != nullptr) args.insert(args.end(), {"--gdb", socket_path, "--gdb-wait"});
  std::vector<char*> argv;
  for (auto& s : args) argv.push_back(s.data());
  argv.push_back(nullptr);
  int in[2];
  if (pipe(in) != 0) return false;
  const auto start = Clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(in[0], STDIN_FILENO);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    dup2(null, STDERR_FILENO);
    close(in[1]);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(in[0]);
  if (write(in[1], kScenario, sizeof kScenario - 1) < 0) return false;
  close(in[1]);
  const bool debugged = packets == nullptr || debug(socket_path, *packets);
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  const double wall = std::chrono::duration<double>(Clock::now() - start).count();
  const double cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                     1e-6 * static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
  if (!debugged || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return false;
  f.wall = std::min(f.wall, wall);
  f.cpu = std::min(f.cpu, cpu);
  return true;
}

std::string hex(uint32_t v) {
  char text[16];
  std::snprintf(text, sizeof text, "%x", v);
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string elf = argc > 1 ? argv[1] : "build/arm/tarvik.elf";
  const double seconds = argc > 2 ? std::atof(argv[2]) : 30;
  const int runs = argc > 3 ? std::atoi(argv[3]) : 2;
  emu::ElfImage image;
  const std::string problem = image.load(elf);
  if (!problem.empty()) {
    std::fprintf(stderr, "bench_gdb: %s: %s\n", elf.c_str(), problem.c_str());
    return 2;
  }
  std::vector<std::string> points;
  for (const char* name : kUnusedCode) {
    const emu::ElfSymbol* s = image.find(name);
    if (s == nullptr) {
      std::fprintf(stderr, "bench_gdb: the image has no %s\n", name);
      return 2;
    }
    points.push_back("Z1," + hex(s->address) + ",2");
  }
  const emu::ElfSymbol* data = image.find(kUnusedData);
  if (data == nullptr) {
    std::fprintf(stderr, "bench_gdb: the image has no %s\n", kUnusedData);
    return 2;
  }
  points.push_back("Z2," + hex(data->address) + ",4");
  points.push_back("Z2," + hex(kUnusedRegister) + ",4");
  const std::vector<std::string> nothing;

  Figures plain, attached, set;
  for (int i = 0; i < runs; ++i) {
    if (!run(elf, seconds, nullptr, plain) || !run(elf, seconds, &nothing, attached) ||
        !run(elf, seconds, &points, set)) {
      std::fprintf(stderr, "bench_gdb: a run did not end well\n");
      return 1;
    }
  }
  auto row = [&](const char* what, const Figures& f, const char* target) {
    std::printf("%-52s %7.2f x real time  %7.2f per processor s  %5.1f %% of without%s\n", what,
                seconds / f.wall, seconds / f.cpu, 100.0 * plain.cpu / f.cpu, target);
  };
  std::printf("PID scenario on the board image, %g virtual s, best of %d (whole tarvik-sim runs):\n", seconds,
              runs);
  row("without a debugger", plain, "");
  row("debugger attached, nothing set", attached, "  (target: at least 90 %)");
  row("4 breakpoints, 2 watchpoints (RAM, register) unused", set, "  (target: at least 50 %)");
  return 0;
}
