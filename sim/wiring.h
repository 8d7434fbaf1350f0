// What tarvik-sim connects to the board's devices: timed key presses, the RS485
// bus recorded to a file, and the trace of the motor's signals.
#pragma once
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "access_log.h"
#include "board.h"
#include "sim.h"

namespace sim {

struct KeyPress {
  board::Key key;
  board::Cycles at;
  board::Cycles hold;
};

// "NAME@TIME[+HOLD],..." with NAME one of up, down, esc, enter, start, stop and
// times such as 1.5s or 200ms; HOLD defaults to 100ms. On error returns false and
// says why in `error`.
bool parse_key_presses(const std::string& list, std::vector<KeyPress>& presses, std::string& error);
// A key by its name, as --keys and the interactive key sequence name them.
bool key_by_name(const std::string& name, board::Key& key);
const char* key_name(board::Key key);
// Presses a key now and lets it go `hold` cycles later.
void press_for(board::Board& b, board::Key key, board::Cycles hold);
// Presses or lets go of a key now, the contacts chattering as --fault bounce asks.
void press_key(board::Board& b, board::Key key);
void release_key(board::Board& b, board::Key key);
// Schedules every press on the board's events.
void schedule_presses(board::Board& b, const std::vector<KeyPress>& presses);

// Writes a file as bytes arrive; closed (and flushed) by the destructor.
class OutputFile {
 public:
  OutputFile() = default;
  explicit OutputFile(const std::string& path);
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  bool is_open() const { return f_ != nullptr; }
  FILE* get() const { return f_; }

 private:
  FILE* f_ = nullptr;
};

// CSV of cycle,signal,value: firmware writes of TIM3 ARR, CCR1 and CCR2, changes of
// PA5, the counter enable and the two output-compare modes, encoder edges with the
// TIM4 count, and the motor speed every millisecond.
class Trace {
 public:
  Trace(board::Board& b, const std::string& path);
  bool is_open() const { return out_.is_open(); }

 private:
  void row(board::Cycles at, const char* signal, long value);
  void timer_changes(board::Cycles t);  // rows for TIM3's enable and output modes
  board::Board& board_;
  OutputFile out_;
  bool cen_ = false;
  uint8_t oc1m_ = 0, oc2m_ = 0;
};

// Faults of a serial line, each byte in turn: dropped with probability `drop`,
// else corrupted (one bit flipped) with probability `corrupt`. Seeded, so a run
// repeats exactly.
struct LineFaults {
  double drop = 0, corrupt = 0;
  uint64_t state = 1;
  bool any() const { return drop > 0 || corrupt > 0; }
  double next();  // uniform in [0, 1)
};

// The faults --fault asks for.
struct Faults {
  struct LoadStep {
    double torque;
    board::Cycles at;
  };
  std::vector<LoadStep> loads;
  struct Stall {
    board::Cycles at, length;  // length 0: for good
  };
  std::vector<Stall> stalls;
  board::Cycles bounce = 0;
  double drop = 0, corrupt = 0;
  uint64_t seed = 1;
  enum class Crystal { fine, absent, slow } crystal = Crystal::fine;
  board::Cycles crystal_startup = 0;  // slow: how long it takes
};
bool parse_faults(const std::string& list, Faults& faults, std::string& error);
// --board KEY=VALUE,...: the board's own parameters (hse_startup=TIME, the
// crystal's start-up). On error returns false with the bad item in `error`.
struct BoardParams {
  board::Cycles hse_startup = board::kCpuHz / 500;  // 2 ms, the datasheet's typical
};
bool parse_board(const std::string& list, BoardParams& params, std::string& error);

// Key contacts chatter for this long on every press and release (0: clean).
void set_key_bounce(board::Cycles bounce, uint64_t seed);

// What is wrong with --keys, --motor, --rs485 or --trace, or "" if nothing.
std::string wiring_options_problem(const Options& options);

// The devices and files the options ask for, for the length of a run.
class Wiring {
 public:
  Wiring(board::Board& b, const Options& options);
  // What to report at the end of the run ("" if nothing).
  std::string finish();
  ~Wiring();

 private:
  board::Board& board_;
  std::unique_ptr<OutputFile> rs485_;
  std::unique_ptr<Trace> trace_;
  std::unique_ptr<class Vcd> vcd_;
  std::unique_ptr<OutputFile> access_file_;
  std::unique_ptr<board::AccessLog> access_log_;
  std::unique_ptr<class Recorder> recorder_;
  LineFaults console_faults_;

 public:
  // Faults of the bytes typed on the console line (none unless --fault asks).
  LineFaults* console_faults() { return &console_faults_; }
};

}  // namespace sim
