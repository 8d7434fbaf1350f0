#include "machine.h"

#include "host_core.h"
#include "system_init.h"
#include "vectors.h"

extern "C" int tarvik_main(void);  // the firmware's main, renamed in the host build

namespace sim {

namespace {

constexpr int kLinePriority = 20;

void firmware_reset() {
  SystemInit();
  tarvik_main();
  hostcpu::halt("main returned");
}

}  // namespace

LineInput::LineInput(board::Board& b, board::Usart& u, Mode mode) : board_(b), usart_(u), mode_(mode) {
  if (mode_ == Mode::paced) {
    usart_.set_rx_taken([this] {
      in_flight_ = false;
      if (!queue_.empty()) schedule_next(board_.now() + usart_.char_time());
    });
  }
}

void LineInput::push(uint8_t byte) {
  queue_.push_back(byte);
  if (!scheduled_ && !in_flight_) schedule_next(board_.now());
}

void LineInput::schedule_next(Cycles at) {
  if (scheduled_) return;
  scheduled_ = true;
  board_.events.schedule(at, kLinePriority, deliver, this);
}

void LineInput::deliver(void* ctx, uint64_t) {
  auto* in = static_cast<LineInput*>(ctx);
  in->scheduled_ = false;
  if (in->queue_.empty()) return;
  const Cycles char_time = in->usart_.char_time();
  if (in->mode_ == Mode::paced) {
    // Wait for a receiver that is switched on and empty.
    if (!in->usart_.accepting()) {
      in->schedule_next(in->board_.now() + char_time);
      return;
    }
    in->usart_.receive(in->queue_.front());
    in->in_flight_ = true;
  } else {
    in->usart_.receive(in->queue_.front());
  }
  in->queue_.pop_front();
  in->last_activity_ = in->board_.now();
  if (in->mode_ == Mode::live && !in->queue_.empty()) in->schedule_next(in->board_.now() + char_time);
}

Machine::Machine(const Options& options)
    : options_(options), board_(board::the_board()), backup_(options_, board_.bkp), wiring_(board_, options_) {
  board_.set_firmware(firmware_reset, g_pfnVectors);
}

std::string Machine::finish() {
  std::string report;
  if (halted()) report += "tarvik-sim: the board halted: " + board_.cpu.halt_reason() + "\n";
  report += backup_.finish();
  report += wiring_.finish();
  return report;
}

void Machine::run_until(Cycles t) {
  board_.run_until(t);
  // A run killed later still leaves the last value in the file.
  backup_.sync();
}

void Machine::run_while(const std::function<bool()>& more, Cycles every, Cycles limit) {
  while (now() < limit && more()) {
    Cycles next = now() + every;
    if (next > limit) next = limit;
    run_until(next);
  }
}

}  // namespace sim
