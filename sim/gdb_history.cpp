#include "gdb_history.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace sim {

namespace {

GdbHistory* g_history = nullptr;

// Checkpoints beyond this many are thinned out where they lie closest together.
constexpr size_t kMaxCheckpoints = 64;
constexpr size_t kKeepNewest = 8;  // the latest are never thinned: reverse steps go there
// A fork at every resume would make a watchpoint gdb keeps stepping over crawl:
// between checkpoints at least this much virtual time; the halts between are
// reached by running the logged steps and continues again.
constexpr board::Cycles kCheckpointEvery = board::kCpuHz / 100;

enum Message : uint32_t { kWake = 1, kProbe, kQuit, kPid, kHit, kDone };
enum Action : uint8_t { kNone = 0, kStep = 1, kContinue = 2 };

bool write_all(int fd, const void* data, size_t n) {
  const auto* p = static_cast<const uint8_t*>(data);
  while (n > 0) {
    const ssize_t w = write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

bool read_all(int fd, void* data, size_t n) {
  auto* p = static_cast<uint8_t*>(data);
  while (n > 0) {
    const ssize_t r = read(fd, p, n);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    p += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

bool send_message(int fd, uint32_t kind, const std::vector<uint8_t>& body) {
  const uint32_t head[2] = {kind, static_cast<uint32_t>(body.size())};
  return write_all(fd, head, sizeof head) && write_all(fd, body.data(), body.size());
}

bool read_message(int fd, uint32_t& kind, std::vector<uint8_t>& body) {
  uint32_t head[2];
  if (!read_all(fd, head, sizeof head)) return false;
  kind = head[0];
  body.resize(head[1]);
  return read_all(fd, body.data(), body.size());
}

// A reply from checkpoint `pid`, which may have been thinned out meanwhile by a
// run that came after the copy asking (its socket stays open in the copy).
bool read_reply(int fd, pid_t pid, uint32_t& kind, std::vector<uint8_t>& body) {
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    const int ready = poll(&p, 1, 200);
    if (ready > 0) return read_message(fd, kind, body);
    if (ready < 0 && errno != EINTR) return false;
    if (kill(pid, 0) != 0) return false;
  }
}

// The messages are read by copies of the same program: plain bytes suffice.
struct Writer {
  std::vector<uint8_t> bytes;
  template <typename T>
  void put(const T& v) {
    const auto* p = reinterpret_cast<const uint8_t*>(&v);
    bytes.insert(bytes.end(), p, p + sizeof v);
  }
  template <typename T>
  void put_list(const std::vector<T>& list) {
    put(static_cast<uint64_t>(list.size()));
    for (const T& v : list) put(v);
  }
};

struct Reader {
  const std::vector<uint8_t>& bytes;
  size_t at = 0;
  template <typename T>
  T get() {
    T v{};
    if (at + sizeof v <= bytes.size()) std::memcpy(&v, bytes.data() + at, sizeof v);
    at += sizeof v;
    return v;
  }
  template <typename T>
  std::vector<T> get_list() {
    std::vector<T> out(get<uint64_t>());
    for (T& v : out) v = get<T>();
    return out;
  }
};

// The process the user started, once the history began: waits for the copy
// that holds the board at the end (named on `fd` by each hand-over) and ends
// with its status.
[[noreturn]] void supervise(pid_t live, int fd) {
  // The debugger's connection and the rest belong to the copies.
  for (int other = 3; other < 1024; ++other)
    if (other != fd) close(other);
  fcntl(fd, F_SETFL, O_NONBLOCK);
  for (;;) {
    int status = 0;
    const pid_t done = waitpid(-1, &status, 0);
    pid_t next;
    while (read(fd, &next, sizeof next) == static_cast<ssize_t>(sizeof next)) live = next;
    if (done < 0 && errno != EINTR) _exit(1);
    if (done == live) _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
  }
}

}  // namespace

bool history_output_muted(board::Cycles now) { return g_history != nullptr && g_history->output_muted(now); }

GdbHistory::GdbHistory(board::Board& b, emu::EmulatedCpu& cpu, bool enabled, Hooks hooks)
    : board_(b), cpu_(cpu), enabled_(enabled), hooks_(std::move(hooks)) {
  g_history = this;
}

bool GdbHistory::output_muted(board::Cycles now) const {
  // mute_until_ is set only in a copy that went back.
  return mode_ == Mode::probe || (mute_until_ > 0 && now <= mute_until_);
}

void GdbHistory::become_supervised() {
  int fds[2];
  if (pipe(fds) != 0) return;
  // Copies whose parents end are handed to the supervisor, which sees them exit.
  prctl(PR_SET_CHILD_SUBREAPER, 1);
  const pid_t supervisor = getpid();
  std::fflush(nullptr);
  const pid_t live = fork();
  if (live < 0) return;
  if (live > 0) {
    close(fds[1]);
    supervise(live, fds[0]);
  }
  close(fds[0]);
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != supervisor) _exit(1);
  supervisor_ = supervisor;
  supervisor_fd_ = fds[1];
}

GdbHistory::Next GdbHistory::resumed(bool step) {
  if (!enabled_ || mode_ != Mode::live) return Next::carry_on;
  if (supervisor_ == 0) become_supervised();
  if (supervisor_ == 0) return Next::carry_on;
  high_water_ = std::max(high_water_, board_.now());
  log_.push_back({cpu_.debug_position(), static_cast<uint8_t>(cpu_.debug_mid_block()),
                  step ? kStep : kContinue, cpu_.debug_register(emu::kDebugPc)});
  if (!checkpoints_.empty() && !modified_ && board_.now() - last_checkpoint_ < kCheckpointEvery)
    return Next::carry_on;
  last_checkpoint_ = board_.now();

  int pair[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) return Next::carry_on;
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid < 0) {
    close(pair[0]);
    close(pair[1]);
    return Next::carry_on;
  }
  if (pid == 0) {
    // The checkpoint: keeps both ends, so that its copies may ask it again.
    uint32_t kind = 0;
    std::vector<uint8_t> body;
    const int fd = pair[1];
    for (;;) {
      pollfd p{fd, POLLIN, 0};
      const int ready = poll(&p, 1, 500);
      if (ready == 0) {
        if (kill(supervisor_, 0) != 0) _exit(0);
        continue;
      }
      if (ready < 0 && errno == EINTR) continue;
      if (ready < 0 || !read_message(fd, kind, body) || kind == kQuit) _exit(0);
      const pid_t copy = fork();
      if (copy == 0) {
        reply_fd_ = fd;
        if (kind == kProbe) return woken(body, true);
        // A grandchild, so that the supervisor is its parent and hears its end.
        if (fork() != 0) _exit(0);
        while (getppid() != supervisor_) {
          if (kill(supervisor_, 0) != 0) _exit(0);
          usleep(100);
        }
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        return woken(body, false);
      }
      if (copy > 0) waitpid(copy, nullptr, 0);
      if (kind == kProbe) send_message(fd, kDone, {});
    }
  }
  close(pair[1]);
  checkpoints_.push_back(
      {pid, pair[0], log_.size() - 1, log_.back().position, static_cast<uint8_t>(modified_ ? 1 : 0)});
  modified_ = false;
  thin();
  return Next::carry_on;
}

void GdbHistory::thin() {
  if (checkpoints_.size() <= kMaxCheckpoints) return;
  size_t best = 0;
  uint64_t best_gap = ~0ull;
  for (size_t i = 1; i + kKeepNewest < checkpoints_.size(); ++i) {
    if (checkpoints_[i].kept) continue;
    const uint64_t gap = checkpoints_[i + 1].halt - checkpoints_[i - 1].halt;
    if (gap < best_gap) {
      best_gap = gap;
      best = i;
    }
  }
  if (best == 0) return;
  kill(checkpoints_[best].pid, SIGKILL);
  waitpid(checkpoints_[best].pid, nullptr, 0);
  close(checkpoints_[best].fd);
  checkpoints_.erase(checkpoints_.begin() + static_cast<long>(best));
}

std::vector<GdbHistory::Halt> GdbHistory::log_with_now() const {
  std::vector<Halt> all = log_;
  all.push_back({cpu_.debug_position(), static_cast<uint8_t>(cpu_.debug_mid_block()), kNone,
                 cpu_.debug_register(emu::kDebugPc)});
  return all;
}

void GdbHistory::kill_checkpoints(size_t from) {
  while (checkpoints_.size() > from) {
    const Checkpoint& c = checkpoints_.back();
    kill(c.pid, SIGKILL);
    waitpid(c.pid, nullptr, 0);  // reaped here if it is this process's child
    close(c.fd);
    checkpoints_.pop_back();
  }
}

GdbHistory::Next GdbHistory::reverse(bool step) {
  using R = emu::DebugStop::Reason;
  high_water_ = std::max(high_water_, board_.now());
  // This copy's list may name checkpoints a later run thinned out.
  checkpoints_.erase(std::remove_if(checkpoints_.begin(), checkpoints_.end(),
                                    [](const Checkpoint& c) {
                                      if (kill(c.pid, 0) == 0) return false;
                                      close(c.fd);
                                      return true;
                                    }),
                     checkpoints_.end());
  const uint64_t now = cpu_.debug_position();
  if (!enabled_ || checkpoints_.empty() || now <= checkpoints_.front().position) {
    // Nothing earlier to go to.
    stop_ = emu::DebugStop{R::step, 0};
    stop_begin_ = true;
    stop_pending_ = true;
    return Next::reply_now;
  }
  if (step) {
    const uint64_t target = now - 1;
    size_t c = checkpoints_.size();
    while (c > 1 && checkpoints_[c - 1].position > target) --c;
    hand_over(c - 1, target, true, static_cast<uint8_t>(R::step), 0, false);
  }
  // The last hit of a point before now: each stretch between checkpoints run
  // again, the latest first.
  size_t end_halt = log_.size();
  uint64_t below = now;
  for (size_t c = checkpoints_.size(); c-- > 0;) {
    if (checkpoints_[c].position >= below && checkpoints_[c].halt >= end_halt) continue;
    uint64_t hit = 0;
    uint8_t reason = 0;
    uint32_t address = 0;
    if (probe(c, end_halt, below, hit, reason, address))
      hand_over(c, hit, reason == static_cast<uint8_t>(R::breakpoint), reason, address, false);
    end_halt = checkpoints_[c].halt;
    below = checkpoints_[c].position;
  }
  hand_over(0, checkpoints_.front().position, false, static_cast<uint8_t>(R::step), 0, true);
}

bool GdbHistory::probe(size_t checkpoint, size_t end_halt, uint64_t below, uint64_t& hit, uint8_t& reason,
                       uint32_t& address) {
  const Checkpoint& c = checkpoints_[checkpoint];
  const std::vector<Halt> all = log_with_now();
  Writer w;
  w.put(below);
  w.put_list(std::vector<Halt>(all.begin() + static_cast<long>(c.halt),
                               all.begin() + static_cast<long>(end_halt) + 1));
  w.put_list(hooks_.points());
  if (!send_message(c.fd, kProbe, w.bytes)) return false;
  bool found = false;
  uint32_t kind = 0;
  std::vector<uint8_t> body;
  while (read_reply(c.fd, c.pid, kind, body) && kind != kDone) {
    if (kind != kHit) continue;
    Reader r{body};
    found = r.get<uint8_t>() != 0;
    hit = r.get<uint64_t>();
    reason = r.get<uint8_t>();
    address = r.get<uint32_t>();
  }
  return found;
}

void GdbHistory::hand_over(size_t checkpoint, uint64_t target, bool mid, uint8_t reason, uint32_t address,
                           bool begin) {
  const Checkpoint c = checkpoints_[checkpoint];
  const std::vector<Halt> all = log_with_now();
  Writer w;
  w.put(target);
  w.put(static_cast<uint8_t>(mid));
  w.put(reason);
  w.put(address);
  w.put(static_cast<uint8_t>(begin));
  w.put(high_water_);
  w.put(c);
  w.put_list(std::vector<Halt>(all.begin() + static_cast<long>(c.halt), all.end()));
  w.put_list(hooks_.points());
  uint32_t kind = 0;
  std::vector<uint8_t> body;
  if (!send_message(c.fd, kWake, w.bytes) || !read_reply(c.fd, c.pid, kind, body) || kind != kPid) {
    std::fprintf(stderr, "tarvik-sim: a checkpoint of the history did not answer\n");
    _exit(1);
  }
  Reader r{body};
  const pid_t next = r.get<pid_t>();
  write_all(supervisor_fd_, &next, sizeof next);
  // The history after the checkpoint is run again by the copy; what lies beyond goes.
  kill_checkpoints(checkpoint + 1);
  std::fflush(nullptr);
  _exit(0);
}

GdbHistory::Next GdbHistory::woken(const std::vector<uint8_t>& message, bool probe) {
  Reader r{message};
  Checkpoint self{};
  std::vector<HistoryPoint> points;
  if (probe) {
    probe_below_ = r.get<uint64_t>();
    replay_log_ = r.get_list<Halt>();
    points = r.get_list<HistoryPoint>();
  } else {
    target_ = r.get<uint64_t>();
    target_mid_ = r.get<uint8_t>() != 0;
    stop_.reason = static_cast<emu::DebugStop::Reason>(r.get<uint8_t>());
    stop_.address = r.get<uint32_t>();
    stop_begin_ = r.get<uint8_t>() != 0;
    high_water_ = std::max(high_water_, r.get<board::Cycles>());
    mute_until_ = high_water_;
    self = r.get<Checkpoint>();
    replay_log_ = r.get_list<Halt>();
    final_points_ = r.get_list<HistoryPoint>();
    checkpoints_.push_back(self);
    base_halt_ = self.halt;
    const pid_t me = getpid();
    Writer w;
    w.put(me);
    send_message(reply_fd_, kPid, w.bytes);
  }
  // The checkpoint's resume runs as the log says; the points are not there during
  // the run again (their halts are in the log), or only observed.
  cpu_.cancel_resume();
  hooks_.set_points(points);
  if (probe) {
    cpu_.set_hit_observer([this](uint64_t position, emu::DebugStop::Reason why, uint32_t address) {
      if (position >= probe_below_ || (hit_found_ && position < hit_position_)) return;
      hit_found_ = true;
      hit_position_ = position;
      hit_reason_ = static_cast<uint8_t>(why);
      hit_address_ = address;
    });
  }
  mode_ = probe ? Mode::probe : Mode::replay;
  at_ = 0;
  partial_ = false;
  if (replay_halt()) return Next::stay_silent;
  return Next::reply_now;
}

bool GdbHistory::drive() {
  if (at_ >= replay_log_.size()) return false;
  const Halt& h = replay_log_[at_];
  const bool last = at_ + 1 >= replay_log_.size();
  if (mode_ == Mode::probe) {
    if (last) return false;
  } else {
    if (partial_ || target_ <= h.position) return false;
    if (last || (h.action == kStep && target_ < replay_log_[at_ + 1].position)) return false;
    if (target_ < replay_log_[at_ + 1].position) {
      // Inside this continue: halt at the count, as a breakpoint or a halt before a block would.
      partial_ = true;
      cpu_.run_to(target_, target_mid_);
      return true;
    }
  }
  const Halt& next = replay_log_[at_ + 1];
  if (h.action == kStep)
    cpu_.step();
  else
    cpu_.run_to(next.position, next.mid != 0, next.pc);
  ++at_;
  return true;
}

bool GdbHistory::replay_halt() {
  if (mode_ == Mode::live) return false;
  if (drive()) return true;
  if (mode_ == Mode::probe) {
    Writer w;
    w.put(static_cast<uint8_t>(hit_found_));
    w.put(hit_position_);
    w.put(hit_reason_);
    w.put(hit_address_);
    send_message(reply_fd_, kHit, w.bytes);
    _exit(0);
  }
  // Arrived: the log as this run has it, then the debugger's points as they are now.
  // (a halt whose continue was cut short at the target stays, with its action).
  log_.resize(base_halt_);
  const size_t passed = std::min(replay_log_.size(), at_ + (partial_ ? 1 : 0));
  log_.insert(log_.end(), replay_log_.begin(), replay_log_.begin() + static_cast<long>(passed));
  mode_ = Mode::live;
  hooks_.set_points(final_points_);
  stop_pending_ = true;
  return false;
}

bool GdbHistory::take_stop(emu::DebugStop& stop, bool& history_begin) {
  if (!stop_pending_) return false;
  stop_pending_ = false;
  stop = stop_;
  history_begin = stop_begin_;
  return true;
}

void GdbHistory::end() {
  // A copy looking for hits whose stretch ran past the end of the run found none.
  if (mode_ == Mode::probe) _exit(0);
  if (mode_ == Mode::replay) return;
  kill_checkpoints(0);
  log_.clear();
}

}  // namespace sim
