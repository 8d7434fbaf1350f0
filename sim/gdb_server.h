// tarvik-sim --gdb: a GDB remote-protocol server for the board image, on a TCP
// port of the loopback or a Unix socket. The protocol is emu/gdb's; this is the
// socket, the board's side of the target (the emulated core's debug interface,
// the kernel's tasks, the monitor commands) and the run control: while the core
// is halted for the debugger, the board's run comes back to its front end at
// once, virtual time standing still. In batch mode the server waits for the
// debugger there; the real-time front ends wait with wait_for_debugger().
#pragma once
#include <functional>
#include <string>

#include "board.h"
#include "emulated_cpu.h"
#include "sim.h"

namespace sim {

// What is wrong with --gdb and --gdb-wait, or "".
std::string gdb_options_problem(const Options& options);

// Listens as --gdb asks, for `cpu`, which lives as long as the process; ends the
// program (status 2) if it cannot. With --gdb-wait the core is halted at reset.
void start_gdb_server(board::Board& b, emu::EmulatedCpu& cpu, const Options& options);
// The run has ended: an attached debugger hears that the program exited.
void finish_gdb_server();

// Whether a debugger holds the board halted (virtual time stands still).
bool debugger_holds_board();
// Waits until the debugger has something for the board, at most `timeout_ms`.
void wait_for_debugger(int timeout_ms);
// For a front end idle between runs (--control): waits until `fd` can be read,
// serving the debugger meanwhile. The core takes the debugger's packets only
// inside a run, so each time it has some, `run_in_place` lets the board run for
// a cycle at most: a halted core stays where it is, a halt asked for is taken
// before the next instruction.
void wait_serving_debugger(int fd, const std::function<void()>& run_in_place);

}  // namespace sim
