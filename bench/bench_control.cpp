// What the control protocol costs: the PID scenario's 60 virtual seconds as one
// run request of tarvik-sim --control against the same run in batch mode (whole
// processes, the best of a few of each, taken in turns; processor seconds too,
// which other load on the machine leaves alone), and 10,000 requests of run for
// 1 ms, each waiting for its reply, in requests per wall second.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#ifndef TARVIK_SIM_PATH
#error "TARVIK_SIM_PATH names the tarvik-sim to measure"
#endif

namespace {

using Clock = std::chrono::steady_clock;

const char kScenario[] = "e3on\re3pid -f=0 500\r";

// tarvik-sim with `args`, its standard input and output on pipes.
struct Sim {
  pid_t pid = -1;
  int in = -1, out = -1;  // what we write to, what we read from
  std::string buffer;

  bool start(const std::vector<std::string>& args) {
    std::vector<char*> argv{const_cast<char*>(TARVIK_SIM_PATH)};
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    int to[2], from[2];
    if (pipe(to) != 0 || pipe(from) != 0) return false;
    pid = fork();
    if (pid == 0) {
      dup2(to[0], STDIN_FILENO);
      dup2(from[1], STDOUT_FILENO);
      close(to[1]);
      close(from[0]);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(to[0]);
    close(from[1]);
    in = to[1];
    out = from[0];
    return pid > 0;
  }
  bool send(const std::string& text) {
    return write(in, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  }
  // One reply line; false at the end of the output.
  bool line(std::string& reply) {
    for (;;) {
      const size_t lf = buffer.find('\n');
      if (lf != std::string::npos) {
        reply = buffer.substr(0, lf);
        buffer.erase(0, lf + 1);
        return true;
      }
      char chunk[4096];
      const ssize_t n = read(out, chunk, sizeof chunk);
      if (n <= 0) return false;
      buffer.append(chunk, static_cast<size_t>(n));
    }
  }
  // Reads what is left, then waits: true if it exited with status 0.
  bool finish() {
    close(in);
    char chunk[4096];
    while (read(out, chunk, sizeof chunk) > 0) {
    }
    close(out);
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    processor = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }
  double processor = 0;  // seconds the process ran, once finished
};

double since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

std::vector<std::string> with_image(std::vector<std::string> args, const std::string& image) {
  if (!image.empty()) args.insert(args.end(), {"--image", image});
  return args;
}

struct Times {
  double wall = -1, processor = -1;
};

Times batch_run(double virtual_s, const std::string& image) {
  const auto start = Clock::now();
  Sim s;
  if (!s.start(with_image({"--batch", "--until", std::to_string(virtual_s)}, image)) || !s.send(kScenario))
    return {};
  if (!s.finish()) return {};
  return {since(start), s.processor};
}

Times control_run(double virtual_s, const std::string& image) {
  const auto start = Clock::now();
  Sim s;
  if (!s.start(with_image({"--control"}, image))) return {};
  // The scenario's bytes as a JSON string: \r written as an escape.
  std::string typed;
  for (const char* p = kScenario; *p; ++p) typed += *p == '\r' ? std::string("\\r") : std::string(1, *p);
  const std::string requests = "{\"op\":\"write\",\"data\":\"" + typed +
                               "\"}\n{\"op\":\"run\",\"for\":" + std::to_string(virtual_s) +
                               "}\n{\"op\":\"end\"}\n";
  std::string reply;
  if (!s.send(requests)) return {};
  for (int i = 0; i < 3; ++i)
    if (!s.line(reply) || reply.rfind("{\"ok\":true", 0) != 0) return {};
  if (!s.finish()) return {};
  return {since(start), s.processor};
}

// Requests a wall second over `count` round trips of run for 1 ms, the motor under PID.
double request_rate(int count, const std::string& image) {
  Sim s;
  if (!s.start(with_image({"--control"}, image))) return -1;
  std::string reply;
  if (!s.send("{\"op\":\"write\",\"data\":\"e3on\\re3pid -f=0 500\\r\"}\n{\"op\":\"run\",\"for\":2}\n") ||
      !s.line(reply) || !s.line(reply))
    return -1;
  const std::string request = "{\"op\":\"run\",\"for\":0.001}\n";
  const auto start = Clock::now();
  for (int i = 0; i < count; ++i)
    if (!s.send(request) || !s.line(reply) || reply.rfind("{\"ok\":true", 0) != 0) return -1;
  const double wall = since(start);
  s.send("{\"op\":\"end\"}\n");
  return s.finish() ? count / wall : -1;
}

}  // namespace

int main(int argc, char** argv) {
  std::string image;
  double virtual_s = 60;
  int runs = 3;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--image") == 0 && i + 1 < argc)
      image = argv[++i];
    else if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc)
      runs = std::atoi(argv[++i]);
    else
      virtual_s = std::atof(argv[i]);
  }
  Times batch, control;
  auto best = [](Times& to, const Times& t) {
    if (to.wall < 0 || t.wall < to.wall) to.wall = t.wall;
    if (to.processor < 0 || t.processor < to.processor) to.processor = t.processor;
  };
  for (int i = 0; i < runs; ++i) {
    const Times b = batch_run(virtual_s, image), c = control_run(virtual_s, image);
    if (b.wall < 0 || c.wall < 0) {
      std::fprintf(stderr, "bench_control: a run of %s failed\n", TARVIK_SIM_PATH);
      return 1;
    }
    best(batch, b);
    best(control, c);
  }
  const double rate = request_rate(10000, image);
  if (rate < 0) {
    std::fprintf(stderr, "bench_control: the request round trips with %s failed\n", TARVIK_SIM_PATH);
    return 1;
  }
  const char* cpu = image.empty() ? "native" : "board image";
  std::printf(
      "control protocol (%s), motor under PID with RS485 streaming, %.0f virtual s from reset, whole "
      "tarvik-sim runs, best of %d:\n",
      cpu, virtual_s, runs);
  for (const auto& [name, t] : {std::pair<const char*, Times>{"batch mode:                 ", batch},
                                {"--control, one run request: ", control}})
    std::printf("  %s %.0fx real time (%.3f wall s), %.0fx per processor second (%.3f s)\n", name,
                virtual_s / t.wall, t.wall, virtual_s / t.processor, t.processor);
  std::printf(
      "  one run request's cost against batch: %.1f %% of the wall time, %.1f %% of the processor time\n",
      (control.wall - batch.wall) / batch.wall * 100.0,
      (control.processor - batch.processor) / batch.processor * 100.0);
  std::printf("  run for 0.001 s, 10000 requests one after another: %.0f requests per wall second\n", rate);
  return 0;
}
