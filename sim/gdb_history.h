// Reverse execution for the gdb server, in batch mode. The board is
// deterministic, so the past is reached by running again: at a resume from a
// halt (the first, then at most one every 10 ms of virtual time, and the first
// after the debugger changed the board) the whole process is forked, and the
// copy (a checkpoint) waits on a socket holding everything (board, Unicorn, the
// debugger's connection). Every halt since the debugger attached is logged with
// its instruction count, its PC, whether it came inside a block already timed,
// and what the debugger did next (step or continue). To go back to count K, the
// latest checkpoint before K forks a copy of itself that runs the logged
// actions again up to K, halting there as the first run halted, takes over the
// connection and answers gdb; the process that asked exits. Reverse-continue
// first has copies run the history again with the debugger's points observed
// (noted, no halt) to find the last hit.
//
// The process the user started stays as the supervisor: it waits for whichever
// copy holds the board at the end and exits with its status. Console bytes up
// to the latest virtual time any copy reached were written already: a copy
// running that stretch again keeps them back.
#pragma once
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <vector>

#include "board.h"
#include "emulated_cpu.h"

namespace sim {

struct HistoryPoint {
  uint8_t kind;  // emu::gdb::PointKind
  uint32_t address, length;
};

class GdbHistory {
 public:
  struct Hooks {
    std::function<std::vector<HistoryPoint>()> points;                 // the debugger's points now
    std::function<void(const std::vector<HistoryPoint>&)> set_points;  // replaces them
  };
  // What the server does after a call below.
  enum class Next { carry_on, reply_now, stay_silent };

  GdbHistory(board::Board& b, emu::EmulatedCpu& cpu, bool enabled, Hooks hooks);

  bool enabled() const { return enabled_; }
  // The debugger resumed the core (step or not) from a halt: logged, and a
  // checkpoint kept. Returns in the first run (carry_on) or in a copy woken
  // from the checkpoint (reply_now: halted where it was asked to go;
  // stay_silent: running there).
  Next resumed(bool step);
  // The debugger changed the board while halted (memory, registers, a monitor
  // command): the checkpoint of the next resume is never thinned out.
  void modified() { modified_ = true; }
  // bs / bc while halted: returns only with reply_now (the start of the history
  // was reached without moving); otherwise a copy answers and this process ends.
  Next reverse(bool step);
  // At every halt of the core: true while a re-run is under way (the debugger
  // is not served); once it arrives, false with the stop reason to report.
  bool replay_halt();
  bool replaying() const { return mode_ != Mode::live; }
  // The stop reason of the last reverse execution, once.
  bool take_stop(emu::DebugStop& stop, bool& history_begin);
  // Console bytes at `now` were written already by an earlier run.
  bool output_muted(board::Cycles now) const;
  // The debugger went away or the run ended: the checkpoints go.
  void end();

 private:
  struct Halt {
    uint64_t position;
    uint8_t mid;     // halted inside a block already counted (as at a breakpoint)
    uint8_t action;  // 0 none yet, 1 step, 2 continue
    uint32_t pc;
  };
  struct Checkpoint {
    pid_t pid;
    int fd;  // both ends of its socket pair are kept, so that copies may ask it too
    uint64_t halt;
    uint64_t position;
    uint8_t kept;
  };
  enum class Mode { live, replay, probe };

  void become_supervised();
  void thin();
  Next woken(const std::vector<uint8_t>& message, bool probe);
  // At halt `at_` of the re-run: the next action, or false once there.
  bool drive();
  [[noreturn]] void hand_over(size_t checkpoint, uint64_t target, bool mid, uint8_t reason, uint32_t address,
                              bool begin);
  bool probe(size_t checkpoint, size_t end_halt, uint64_t below, uint64_t& hit, uint8_t& reason,
             uint32_t& address);
  std::vector<Halt> log_with_now() const;
  void kill_checkpoints(size_t from);

  board::Board& board_;
  emu::EmulatedCpu& cpu_;
  const bool enabled_;
  Hooks hooks_;
  bool modified_ = false;
  std::vector<Halt> log_;
  std::vector<Checkpoint> checkpoints_;
  board::Cycles high_water_ = 0;
  board::Cycles last_checkpoint_ = 0;
  pid_t supervisor_ = 0;
  int supervisor_fd_ = -1;
  board::Cycles mute_until_ = 0;  // console bytes up to here were written by an earlier run

  // A re-run: the log from `at_` on, to count `target_` (probe: to the end of the log).
  Mode mode_ = Mode::live;
  std::vector<Halt> replay_log_;
  size_t at_ = 0;
  uint64_t base_halt_ = 0;  // the log's index of replay_log_[0]
  bool partial_ = false;    // the run to the target inside a continue is under way
  uint64_t target_ = 0;
  bool target_mid_ = false;
  int reply_fd_ = -1;
  uint64_t probe_below_ = 0;
  bool hit_found_ = false;
  uint64_t hit_position_ = 0;
  uint8_t hit_reason_ = 0;
  uint32_t hit_address_ = 0;
  std::vector<HistoryPoint> final_points_;
  bool stop_pending_ = false;
  emu::DebugStop stop_;
  bool stop_begin_ = false;
};

// Whether batch mode keeps a console byte back (a re-run of history already written).
bool history_output_muted(board::Cycles now);

}  // namespace sim
