#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

#include "backup_file.h"
#include "control.h"
#include "gdb_server.h"
#include "image.h"
#include "lcd_view.h"
#include "record.h"
#include "sim.h"
#include "wiring.h"

namespace sim {

namespace {

const char kHelp[] =
    "Usage: tarvik-sim [--batch [--until SECONDS] [--settle SECONDS]]\n"
    "                  [--plain] [--unpaced] [--pty [--pty-link DIR]]\n"
    "                  [--backup FILE] [--battery-removed]\n"
    "                  [--keys LIST] [--rs485 FILE] [--trace FILE] [--motor KEY=VALUE,...]\n"
    "                  [--board KEY=VALUE,...]\n"
    "                  [--image FILE.elf [--profile-irq] [--gdb ENDPOINT [--gdb-wait]]]\n"
    "                  [--lcd FILE] [--lcd-task] [--reset-at TIME[,TIME...]]\n"
    "                  [--lcd-log FILE] [--log-access LIST [--log-access-file FILE]]\n"
    "                  [--strict]\n"
    "                  [--control [PATH]] [--record FILE] [--replay FILE]\n"
    "\n"
    "Runs the Tarvik motor-control unit's firmware on a simulated board.\n"
    "\n"
    "Interactive (the default when standard input is a terminal): the front panel,\n"
    "with the LCD, the LEDs, the motor (power stage, direction, duty, speed, the\n"
    "encoder interval as the RS485 line reports it), the last RS485 line and its\n"
    "rate and the keys held, above the unit's console (USART1, 115200 8N1); virtual\n"
    "time paced to the wall clock. A terminal smaller than 76x13 gets the console\n"
    "with a one-line status instead. Keystrokes reach the line when typed; the\n"
    "console polls every 50 ms and holds one character, so typing faster than that\n"
    "loses characters, as on the unit. F1-F6 press the unit's keys up, down, esc,\n"
    "enter, start, stop for 300 ms (also Ctrl-K then 1-6, for terminals without\n"
    "function keys); the Up arrow sends the grave accent (`), which recalls the\n"
    "console's history; Backspace sends 0x08; Ctrl-] quits.\n"
    "\n"
    "  --batch            virtual time as fast as possible (chosen by itself when\n"
    "                     standard input is not a terminal). Standard input is the\n"
    "                     console line's input, each byte delivered once the firmware\n"
    "                     has read the previous one; standard output carries exactly\n"
    "                     the bytes the firmware sends; diagnostics go to standard error.\n"
    "  --plain            interactive: the console alone on this terminal in raw mode,\n"
    "                     bytes as they are (no panel; Ctrl-K 1-6 and Ctrl-] work)\n"
    "  --unpaced          interactive and --pty: virtual time as fast as it goes\n"
    "                     instead of paced, typed bytes waiting until the console has\n"
    "                     taken the one before; at the end (interactive), virtual\n"
    "                     seconds per wall second on standard error\n"
    "  --pty              the console (USART1) and the RS485 line (USART2) on two\n"
    "                     pseudo-terminals, whose paths are printed; virtual time paced\n"
    "                     to the wall clock; connect e.g. picocom -b 115200 PATH. Keys\n"
    "                     and Ctrl-] from this terminal as in interactive mode\n"
    "  --pty-link DIR     with --pty (implied): also links DIR/console and DIR/rs485\n"
    "                     (DIR and its parents are made when missing)\n"
    "  --control [PATH]   another program drives the board: one JSON request a line,\n"
    "                     one JSON reply a line (the protocol is in the README), on\n"
    "                     standard input and output, or with PATH on a Unix socket\n"
    "                     listening there for one client. Virtual time moves only\n"
    "                     when a request runs it; end of input ends the run\n"
    "  --until SECONDS    end the run at this virtual time (any mode but --control)\n"
    "  --settle SECONDS   otherwise end once standard input is exhausted and the console\n"
    "                     line has been quiet this long in virtual time (default 2)\n"
    "  --backup FILE      keep the battery-backed registers (BKP) in FILE across runs;\n"
    "                     without it, interactive runs keep them in\n"
    "                     $XDG_STATE_HOME/tarvik/backup.bin (else\n"
    "                     ~/.local/state/tarvik/backup.bin) and batch runs start cleared\n"
    "  --battery-removed  start with the backup domain cleared, as after the loss of\n"
    "                     its supply (the file is then overwritten)\n"
    "  --keys LIST        timed key presses, comma-separated NAME@TIME[+HOLD]: NAME one\n"
    "                     of up, down, esc, enter, start, stop; TIME and HOLD in s or ms\n"
    "                     (1.5s, 200ms); HOLD 100ms unless given; presses may overlap\n"
    "  --rs485 FILE       every byte that leaves on the RS485 bus (USART2 while PA4 is\n"
    "                     high), in order; bytes sent with PA4 low are reported as lost\n"
    "  --trace FILE       CSV 'cycle,signal,value' (cycle: 72 MHz cycles): every write\n"
    "                     of tim3.arr, tim3.ccr1, tim3.ccr2; changes of pa5, tim3.cen,\n"
    "                     tim3.oc1m, tim3.oc2m; encoder.edge with the TIM4 count; and\n"
    "                     motor.rpm every millisecond\n"
    "  --vcd FILE         a Value Change Dump (GTKWave, PulseView) of the serial lines\n"
    "                     bit by bit (pa9 and pa10: console TX and RX; pa2 and pa3:\n"
    "                     RS485 TX and RX), pa4, pa5, pa6, pa7\n"
    "                     (the PWM edges), pb8 (encoder), the LCD bus (lcd_d4-d7, lcd_e,\n"
    "                     lcd_rs, lcd_rw), the key lines (key_pc4, key_pc6, key_pc7,\n"
    "                     key_pc10, key_pc13), tim3_ccr1/2 as vectors, motor_rpm as a real\n"
    "  --vcd-signals LIST only these (comma-separated names above, in any case: PA9);\n"
    "                     PWM edges are many\n"
    "  --fault LIST       faults, comma-separated: load=N@TIME (the load torque becomes\n"
    "                     N N m at TIME), stall@TIME[+DURATION] (the rotor jams),\n"
    "                     bounce=DURATION (key contacts chatter for that long on every\n"
    "                     press and release), drop=P and corrupt=P (each byte typed on\n"
    "                     the console line is lost, or has one bit flipped, with\n"
    "                     probability P), seed=N (the faults' random numbers; 1),\n"
    "                     crystal=absent (the 8 MHz crystal never starts: the firmware\n"
    "                     falls back to the internal oscillator) and crystal=slow:TIME\n"
    "                     (it takes TIME to start)\n"
    "  --board K=V,...    the board's parameters: hse_startup (the crystal's start-up\n"
    "                     time after HSEON, 2ms, the datasheet's typical)\n"
    "  --motor K=V,...    motor parameters: supply_v (12), resistance_ohm (2), ke (0.02\n"
    "                     V s/rad), kt (0.02 N m/A), inertia (2e-5 kg m^2), friction\n"
    "                     (0.0133 N m), load (0 N m), edges_per_rev (8)\n"
    "  --lcd FILE         the last whole screen of the run: the display as it stood the\n"
    "                     last time its bus had been quiet for 10 ms (the firmware\n"
    "                     redraws a screen in tens of ms), four rows of 16 characters\n"
    "                     and a line feed each, dark cells as blanks; the display at\n"
    "                     the end if no whole screen was ever up (said on standard error)\n"
    "  --lcd-log FILE     every whole screen when it first comes up, if it differs from\n"
    "                     the one before: a line t=SECONDS (virtual time of its last\n"
    "                     write), then its four rows\n"
    "  --lcd-task         start the LCD task at reset, as if its task-table row were\n"
    "                     marked for start-up (the unit as shipped leaves it off), so\n"
    "                     that the menus and keys work; the real-time modes redraw the\n"
    "                     display on standard error when it changes\n"
    "  --reset-at LIST    reset the board (its reset line) at these virtual times in\n"
    "                     seconds, comma-separated (any mode): the firmware starts\n"
    "                     again from reset, the backup registers keep their values,\n"
    "                     the devices (motor, display, keys) are not reset; with\n"
    "                     --image the core restarts from its reset vector, SRAM kept\n"
    "  --image FILE.elf   run this board image (build/arm/tarvik.elf, what is flashed)\n"
    "                     on an emulated Cortex-M3 wired to the same simulated board,\n"
    "                     instead of the firmware compiled for the host; every other\n"
    "                     option works the same. Default: $TARVIK_SIM_IMAGE, if set\n"
    "  --profile-irq      with an image: at the end, each exception handler's runs and\n"
    "                     the instructions and estimated cycles a run took (least, mean,\n"
    "                     most), on standard error\n"
    "  --gdb ENDPOINT     with an image: a GDB remote-protocol server for one debugger\n"
    "                     at a time, on a TCP port of 127.0.0.1 (--gdb 3333) or a Unix\n"
    "                     socket path (--gdb /tmp/tarvik.gdb); virtual time stands still\n"
    "                     while the debugger has the board halted; `monitor help` in\n"
    "                     gdb lists the board's commands\n"
    "  --gdb-wait         hold the board at its reset vector until the debugger\n"
    "                     continues it\n"
    "  --log-access LIST  log every read and write the firmware makes of these\n"
    "                     peripherals' registers, comma-separated: rcc, flash, gpioa,\n"
    "                     gpiob, gpioc, afio, usart1, usart2, tim3, tim4, bkp, pwr, crc,\n"
    "                     nvic, scb, systick, or all; one line each: virtual time in s,\n"
    "                     R or W, the register, the value, and for a write the fields\n"
    "                     that changed (0.000012500 W TIM3.CR1 <- 0x0081 CEN=1 ARPE=1)\n"
    "  --log-access-file FILE  where the log goes (default: standard error)\n"
    "  --strict           the first hardware rule the firmware breaks (flash wait states\n"
    "                     for the system clock, the prefetch buffer rule, the PLL and\n"
    "                     bus clock limits) halts the board with its text, exit status\n"
    "                     1; without it each is counted and the first reported at the end\n"
    "  --record FILE      write to FILE, as the run goes, every input that reaches the\n"
    "                     board from outside (console and RS485 bytes, key contacts,\n"
    "                     load and stall faults, resets) with its virtual time, the\n"
    "                     backup registers at the start, the options that shape the\n"
    "                     board and the firmware's identity (any mode; the format is\n"
    "                     in the README)\n"
    "  --replay FILE      run FILE's recording again in batch mode, as fast as it goes:\n"
    "                     the same console bytes on standard output, and the same\n"
    "                     --rs485, --trace, --vcd and --lcd files, whatever mode\n"
    "                     recorded it; another firmware is warned of and run\n"
    "  --help             this text\n"
    "\n"
    "Exit status: 0, or 1 with the reason on standard error if the board halted\n"
    "(stack overflow, a mutex that could not be created, a fault); 2 for bad options.\n";

bool number(const char* text, double& out) {
  char* end = nullptr;
  out = std::strtod(text, &end);
  return end != text && *end == '\0' && out >= 0;
}

// "1.5,3": each a number of seconds; kept in ascending order.
bool reset_times(const char* text, std::vector<double>& out) {
  const std::string list = text;
  std::vector<double> times;
  size_t pos = 0;
  for (;;) {
    const size_t comma = list.find(',', pos);
    const std::string item = list.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
    double t = 0;
    if (!number(item.c_str(), t) || !std::isfinite(t)) return false;
    times.push_back(t);
    if (comma == std::string::npos) break;
    pos = comma + 1;
  }
  std::sort(times.begin(), times.end());
  out = times;
  return true;
}

// --pty-link's folder, made with its parents when missing.
std::string pty_link_problem(const Options& o) {
  if (o.pty_link.empty()) return "";
  std::error_code error;
  std::filesystem::create_directories(o.pty_link, error);
  if (!error && !std::filesystem::is_directory(o.pty_link, error))
    error = std::make_error_code(std::errc::not_a_directory);
  return error ? "--pty-link " + o.pty_link + ": " + error.message() : "";
}

}  // namespace

bool parse_options(int argc, char** argv, Options& options, int& exit_status) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const char* next = i + 1 < argc ? argv[i + 1] : nullptr;
    auto refuse = [&](const char* needs) {
      std::fprintf(stderr, "tarvik-sim: %s needs %s\n", arg.c_str(), needs);
      exit_status = 2;
      return false;
    };
    // The option's argument: some text, a number of seconds, a list of them.
    auto text = [&](std::string& field, const char* needs) {
      if (next == nullptr || next[0] == '\0') return refuse(needs);
      field = argv[++i];
      return true;
    };
    auto value = [&](double& out) {
      if (next == nullptr || !number(next, out)) return refuse("a number of seconds");
      ++i;
      return true;
    };
    if (arg == "--help" || arg == "-h") {
      std::fputs(kHelp, stdout);
      exit_status = 0;
      return false;
    } else if (arg == "--batch") {
      options.mode = Options::Mode::batch;
    } else if (arg == "--until") {
      if (!value(options.until_s)) return false;
    } else if (arg == "--settle") {
      if (!value(options.settle_s)) return false;
    } else if (arg == "--backup") {
      if (!text(options.backup_file, "a file name")) return false;
    } else if (arg == "--plain") {
      options.plain = true;
    } else if (arg == "--unpaced") {
      options.unpaced = true;
    } else if (arg == "--pty") {
      options.mode = Options::Mode::pty;
    } else if (arg == "--pty-link") {
      if (!text(options.pty_link, "a folder")) return false;
      options.mode = Options::Mode::pty;
    } else if (arg == "--lcd") {
      if (!text(options.lcd_file, "a file name")) return false;
    } else if (arg == "--strict") {
      options.strict = true;
    } else if (arg == "--lcd-log") {
      if (!text(options.lcd_log, "a file name")) return false;
    } else if (arg == "--log-access") {
      if (!text(options.log_access, "a list of peripherals (see --help)")) return false;
    } else if (arg == "--log-access-file") {
      if (!text(options.log_access_file, "a file name")) return false;
    } else if (arg == "--reset-at") {
      if (next == nullptr || !reset_times(next, options.reset_at_s))
        return refuse("seconds, comma-separated");
      ++i;
    } else if (arg == "--control") {
      options.mode = Options::Mode::control;
      // The socket's path is optional: the next word, unless it is an option.
      if (next != nullptr && next[0] != '\0' && next[0] != '-') options.control_socket = argv[++i];
    } else if (arg == "--record") {
      if (!text(options.record_file, "a file name")) return false;
    } else if (arg == "--replay") {
      if (!text(options.replay_file, "a file name")) return false;
    } else if (arg == "--lcd-task") {
      options.lcd_task = true;
    } else if (arg == "--image") {
      if (!text(options.image, "a file name")) return false;
    } else if (arg == "--profile-irq") {
      options.profile_irq = true;
    } else if (arg == "--gdb") {
      if (!text(options.gdb, "a TCP port or a Unix socket path")) return false;
    } else if (arg == "--gdb-wait") {
      options.gdb_wait = true;
    } else if (arg == "--battery-removed") {
      options.battery_removed = true;
    } else if (arg == "--board") {
      if (!text(options.board, "KEY=VALUE,... (see --help)")) return false;
    } else if (arg == "--keys" || arg == "--rs485" || arg == "--trace" || arg == "--motor" ||
               arg == "--vcd" || arg == "--vcd-signals" || arg == "--fault") {
      std::string& field = arg == "--keys"          ? options.keys
                           : arg == "--rs485"       ? options.rs485_file
                           : arg == "--trace"       ? options.trace_file
                           : arg == "--vcd"         ? options.vcd_file
                           : arg == "--vcd-signals" ? options.vcd_signals
                           : arg == "--fault"       ? options.faults
                                                    : options.motor;
      if (!text(field, "a value (see --help)")) return false;
    } else {
      std::fprintf(stderr, "tarvik-sim: unknown option %s (see --help)\n", arg.c_str());
      exit_status = 2;
      return false;
    }
  }
  if (!options.replay_file.empty()) {
    if (options.mode == Options::Mode::pty || options.mode == Options::Mode::control) {
      std::fputs("tarvik-sim: --replay runs in batch mode; it does not go with --pty or --control\n", stderr);
      exit_status = 2;
      return false;
    }
    options.mode = Options::Mode::replay;
  }
  if (options.mode == Options::Mode::automatic)
    options.mode = isatty(STDIN_FILENO) ? Options::Mode::interactive : Options::Mode::batch;
  // What is wrong with the options together, first found first; each may look at
  // the files named.
  using Check = std::string (*)(const Options&);
  const Check checks[] = {image_problem, gdb_options_problem, pty_link_problem, wiring_options_problem,
                          lcd_options_problem, control_options_problem, record_options_problem,
                          // A file that is not ours would be overwritten at the end of the run.
                          backup_file_problem};
  for (Check check : checks) {
    const std::string problem = check(options);
    if (!problem.empty()) {
      std::fprintf(stderr, "tarvik-sim: %s\n", problem.c_str());
      exit_status = 2;
      return false;
    }
  }
  return true;
}

}  // namespace sim
