// --record and --replay: every input that reached the board from outside, one
// event a line with the cycle it reached the pin, and a run made again from them.
//
// The format (version 1), in lines; `#` starts a comment, blank lines are ignored:
//   tarvik-sim record 1                        first line: the format's version
//   firmware host|image HASH [PATH]            what ran (FNV-1a 64 of the program or the image)
//   option lcd-task | option strict | option motor K=V,... | option board K=V,...
//   option crystal absent|slow:TIME            options that shape the board
//   backup HHHH x10                            BKP_DR1-DR10 at the start, hex
//   CYCLE[/ORDER] EVENT ARGS                   an input, in time order:
//     console HH | rs485 HH                    a byte arriving on USART1 / USART2
//     key NAME down|up                         a contact of the keypad closing / opening
//     load TORQUE | stall 0|1                  the shaft's load (N m); the rotor jammed or free
//     reset                                    the reset line pulled
//   end CYCLE                                  the recorded run ended here
// CYCLE counts 72 MHz cycles from power-on; ORDER places the event among the
// board's own events due at the same cycle (the recorder writes it; absent, the
// event comes after them).
#pragma once
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "board.h"
#include "sim.h"

namespace sim {

constexpr int kRecordVersion = 1;

struct Recording {
  struct Event {
    enum class Kind { console, rs485, key_down, key_up, load, stall, reset };
    board::Cycles at = 0;
    int order = board::EventQueue::kOutside;
    Kind kind = Kind::console;
    uint8_t byte = 0;
    board::Key key = board::Key::up;
    double value = 0;
  };
  std::string firmware;  // "host HASH" or "image HASH PATH"
  bool lcd_task = false, strict = false;
  std::string motor, board, crystal;
  board::Bkp::Data backup{};
  std::vector<Event> events;
  bool ended = false;  // an end line: a run killed leaves none
  board::Cycles end = 0;
};

// Reads a recording; false with the reason ("line N: ...") in `error`.
bool parse_recording(const std::string& text, Recording& recording, std::string& error);

// What ran: "host HASH" for the firmware compiled into this program, else
// "image HASH PATH".
std::string firmware_identity(const Options& options);

// What is wrong with --record or --replay and the options beside them, or "".
std::string record_options_problem(const Options& options);

// Writes a run's inputs to --record's file as they reach the board.
class Recorder {
 public:
  Recorder(board::Board& b, const Options& options);
  ~Recorder();
  Recorder(const Recorder&) = delete;
  Recorder& operator=(const Recorder&) = delete;
  // The run ends now: the end line.
  void finish();

 private:
  void event(const char* format, ...) __attribute__((format(printf, 2, 3)));
  board::Board& board_;
  FILE* out_ = nullptr;
  bool finished_ = false;
  std::shared_ptr<Recorder*> alive_;  // what the board's reset listener reaches
};

// --replay: the recorded run again, in virtual time as fast as it goes, the
// console's output on standard output.
int run_replay(const Options& options);

}  // namespace sim
