// tarvik-sim's modes, also used by the whole-system tests.
#pragma once
#include <string>
#include <vector>

namespace sim {

struct Options {
  enum class Mode { automatic, batch, interactive, pty, control, replay };
  Mode mode = Mode::automatic;
  double until_s = -1;  // batch: end at this virtual time (seconds), if given
  double settle_s = 2;  // batch: else end once input is done and the console quiet this long
  // --backup: where the backup domain is kept ("": the mode's default)
  std::string backup_file;
  // --battery-removed: the backup domain starts cleared
  bool battery_removed = false;
  std::string lcd_file;            // --lcd: the display's last whole screen
  std::string lcd_log;             // --lcd-log: every whole screen as it comes up, with its time
  std::string log_access;          // --log-access: peripherals whose register accesses are logged
  std::string log_access_file;     // --log-access-file: where ("": standard error)
  bool strict = false;             // --strict: the first hardware rule broken halts the board
  bool lcd_task = false;           // --lcd-task: the LCD task starts at reset
  std::string keys;                // --keys: timed key presses
  std::string rs485_file;          // --rs485: every byte that leaves on the RS485 bus
  std::string trace_file;          // --trace: CSV of the motor's signals
  std::string motor;               // --motor: motor parameters, KEY=VALUE,...
  std::string board;               // --board: the board's parameters, KEY=VALUE,...
  std::string image;               // --image: this board image on the emulated Cortex-M3
  bool profile_irq = false;        // --profile-irq: what each interrupt handler run took (with an image)
  std::string gdb;                 // --gdb: the debugger server's TCP port or Unix socket path
  bool gdb_wait = false;           // --gdb-wait: the board waits at its reset vector for the debugger
  std::string pty_link;            // --pty-link: folder for the links console and rs485
  std::string vcd_file;            // --vcd: value change dump of pins and signals
  std::string vcd_signals;         // --vcd-signals: which ones ("": all)
  std::string faults;              // --fault: faults to inject, ITEM,...
  bool plain = false;              // --plain: the console alone, without the front panel
  bool unpaced = false;            // --unpaced: real-time modes run as fast as they can
  std::vector<double> reset_at_s;  // --reset-at: virtual times (seconds) of board resets, ascending
  std::string record_file;   // --record: every input from outside, as the run goes
  std::string replay_file;   // --replay: the run recorded there, again
  std::string control_socket;  // --control PATH: the Unix socket to listen on ("": standard input and output)
};

struct BatchResult {
  std::string console;      // every byte the firmware sent on the console line
  int exit_status = 0;      // 0, or 1 if the board halted
  std::string diagnostics;  // what tarvik-sim would print on standard error
};

// Runs the board in virtual time with `input` typed on the console line.
BatchResult run_batch(const std::string& input, const Options& options);

// The program's modes: the console on standard input and output.
int run_batch_stdio(const Options& options);
int run_interactive(const Options& options);
// The console and the RS485 line on two pseudo-terminals, paced in real time.
int run_pty(const Options& options);
// Another program drives the board with requests (sim/control.h).
int run_control(const Options& options);

// Parses the command line; prints help or an error and sets `exit_status` when
// the program should stop at once.
bool parse_options(int argc, char** argv, Options& options, int& exit_status);

}  // namespace sim
