// The firmware on a simulated board: wiring, the run in virtual time, and the
// serial line helpers every front end uses.
#pragma once
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "backup_file.h"
#include "board.h"
#include "emulated_cpu.h"
#include "lcd_view.h"
#include "sim.h"
#include "wiring.h"

namespace sim {

using board::Cycles;

constexpr Cycles seconds(double s) { return static_cast<Cycles>(s * static_cast<double>(board::kCpuHz)); }
constexpr double to_seconds(Cycles c) { return static_cast<double>(c) / static_cast<double>(board::kCpuHz); }

// Bytes waiting to arrive on a serial line. In paced mode the next byte goes on
// the line once the firmware has taken the previous one, so none is lost; in live
// mode bytes arrive when they come, one character time apart, and are lost if the
// firmware has not read the previous one yet, as on the unit.
class LineInput {
 public:
  enum class Mode { paced, live };
  LineInput(board::Board& b, board::Usart& u, Mode mode);
  void push(uint8_t byte);
  void push(const std::string& bytes) {
    for (char c : bytes) push(static_cast<uint8_t>(c));
  }
  bool idle() const { return queue_.empty() && !in_flight_; }
  void set_faults(LineFaults* faults) { faults_ = faults; }
  size_t queued() const { return queue_.size(); }
  Cycles last_activity() const { return last_activity_; }

 private:
  void schedule_next(Cycles at);
  static void deliver(void* ctx, uint64_t token);
  board::Board& board_;
  board::Usart& usart_;
  Mode mode_;
  std::deque<uint8_t> queue_;
  bool in_flight_ = false;  // a paced byte sits in the data register, not yet read
  bool scheduled_ = false;
  LineFaults* faults_ = nullptr;
  Cycles last_activity_ = 0;
};

// The board with the firmware and the devices and files the options ask for.
class Machine {
 public:
  explicit Machine(const Options& options = Options{});
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;
  // Ends the run: writes the files the options asked for; returns what is to be
  // reported on standard error (empty if nothing).
  std::string finish();
  board::Board& board() { return board_; }
  // Runs virtual time forward to `t`; the firmware starts on the first call. The
  // resets --reset-at asks for happen on the way, at their times.
  void run_until(Cycles t);
  // The board's reset line, pulled now: the firmware starts again from reset at
  // the next run, with its memory as at power-on and the backup domain as it is
  // (the image's SRAM keeps its contents, as the chip's does, and its start-up
  // code sets it up again).
  void reset();
  // Ends the present run_until early, at the current time (called from the
  // board's side while it runs: a sink, a pin listener).
  void stop() {
    stopped_ = true;
    board_.stop_now();
  }
  // Runs until `done()` holds, looking every `every` cycles, or until `limit`.
  void run_while(const std::function<bool()>& more, Cycles every, Cycles limit = ~Cycles{0});
  Cycles now() const { return board_.now(); }
  bool halted() const { return board_.cpu.halted(); }
  // The emulated core running the board image, or null for the host firmware.
  emu::EmulatedCpu* image() { return image_; }
  // The faults of bytes typed on the console line, for the front end's input.
  LineFaults* console_faults() { return wiring_.console_faults(); }
  // Whether the display is redrawn on standard error in the real-time modes.
  void draw_lcd(bool on) { lcd_view_.set_drawing(on); }
  // The display's last whole screen (the front panel shows only those).
  const WholeScreen& whole_screen() const { return lcd_view_.whole(); }

 private:
  const Options options_;
  board::Board& board_;
  BackupKeeper backup_;
  Wiring wiring_;
  emu::EmulatedCpu* image_ = nullptr;
  LcdView lcd_view_;
  std::vector<Cycles> reset_at_;  // ascending
  size_t next_reset_ = 0;
  bool stopped_ = false;  // stop() was called during the present run
};

}  // namespace sim
