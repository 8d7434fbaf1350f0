#include "machine.h"

#include "firmware_memory.h"
#include "host_core.h"
#include "image.h"
#include "port_host.h"
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
  // A look that finds the receiver busy changes nothing: only a delivery counts.
  board_.events.schedule_marker(at, kLinePriority, deliver, this);
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
  }
  uint8_t byte = in->queue_.front();
  const bool dropped = in->faults_ && in->faults_->any() && in->faults_->next() < in->faults_->drop;
  if (!dropped && in->faults_ && in->faults_->any() && in->faults_->next() < in->faults_->corrupt)
    byte ^= static_cast<uint8_t>(1u << static_cast<int>(in->faults_->next() * 8));
  if (!dropped) {
    in->board_.events.note_change();
    in->usart_.receive(byte);
    in->in_flight_ = in->mode_ == Mode::paced;
  }
  in->queue_.pop_front();
  in->last_activity_ = in->board_.now();
  // A paced byte waits for the firmware's read, unless it never arrived.
  if ((in->mode_ == Mode::live || dropped) && !in->queue_.empty())
    in->schedule_next(in->board_.now() + char_time);
}

double LineFaults::next() {
  // xorshift64*: small, fast, the same sequence on every machine
  state ^= state >> 12;
  state ^= state << 25;
  state ^= state >> 27;
  return static_cast<double>((state * 2685821657736338717ull) >> 11) / 9007199254740992.0;
}

Machine::Machine(const Options& options)
    : options_(options),
      board_(board::the_board()),
      backup_(options_, board_.bkp),
      wiring_(board_, options_),
      lcd_view_(board_, options_) {
  board_.set_firmware(firmware_reset, g_pfnVectors);
  image_ = start_image(board_, options_);
  for (double s : options_.reset_at_s) reset_at_.push_back(seconds(s));
  if (options_.strict) board_.rules.set_strict([this](const std::string& why) { board_.halt(why); });
}

void Machine::reset() {
  board_.reset();
  // The image's own start-up sets up its memory again; the host build's needs it given back.
  if (image_ != nullptr) return;
  vPortDropHostObjects();
  firmware_memory_restore();
}

std::string Machine::finish() {
  std::string report;
  if (halted()) report += "tarvik-sim: the board halted: " + board_.cpu.halt_reason() + "\n";
  report += backup_.finish();
  report += wiring_.finish();
  report += image_report(image_, options_);
  report += lcd_view_.finish();
  if (!options_.strict) report += board_.rules.report();
  report += board_.rules.rounding_report();
  return report;
}

void Machine::run_until(Cycles t) {
  firmware_memory_snapshot();  // once, before the firmware first runs
  stopped_ = false;
  bool early = false;
  while (next_reset_ < reset_at_.size() && reset_at_[next_reset_] <= t) {
    const Cycles at = reset_at_[next_reset_];
    if (at > now()) board_.run_until(at);
    // Stopped before the reset's time (a sink, a debugger's halt): it comes at the next run.
    early = stopped_ || now() < at;
    if (early) break;
    ++next_reset_;
    reset();
  }
  if (!early) board_.run_until(t);
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
