// A Value Change Dump of the board's pins and signals for GTKWave or PulseView:
// the serial lines bit by bit, the RS485 driver enable, the motor's enable and PWM
// inputs, the encoder, the LCD bus, the key lines, TIM3's compare values and the
// motor speed. Changes are written a little behind virtual time, in time order: a
// byte's bits are known when it starts (sent) or ends (received).
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "board.h"
#include "wiring.h"

namespace sim {

// The names --vcd-signals takes, comma-separated, in any case; empty means all.
const std::vector<std::string>& vcd_signal_names();
// What is wrong with a --vcd-signals list, or "".
std::string vcd_signals_problem(const std::string& list);

class Vcd {
 public:
  Vcd(board::Board& b, const std::string& path, const std::string& signals);
  ~Vcd();
  bool is_open() const { return out_.is_open(); }
  // Writes every change still held back.
  void flush();

 private:
  struct Signal {
    std::string name;
    std::string id;
    int width;  // 1: a wire, 16: a vector, 0: a real
    std::string last;
  };
  int add(const std::string& name, int width);
  bool wanted(const std::string& name) const;
  void change(int signal, const std::string& value, board::Cycles at);
  void write(int signal, const std::string& value, board::Cycles at);
  void frame(int signal, board::Cycles start, double bit_cycles, uint8_t byte);
  void bit(int signal, bool level, board::Cycles at) { change(signal, level ? "1" : "0", at); }
  void vector(int signal, uint32_t value, board::Cycles at);
  void pwm_period();
  void pwm_static();
  static void pwm_period_event(void* self, uint64_t token);
  static void pwm_fall_event(void* self, uint64_t channel);

  board::Board& board_;
  OutputFile out_;
  std::vector<std::string> selected_;
  std::vector<Signal> signals_;
  board::Cycles written_at_ = ~board::Cycles{0};
  struct Held {
    int signal;
    std::string value;
  };
  std::multimap<board::Cycles, Held> held_;  // by time, then as they came
  board::Cycles flushed_to_ = 0;
  int pin_signal_[3][16];  // port A-C, pin: signal index or -1
  int ccr_[2] = {-1, -1}, rpm_ = -1, pwm_[2] = {-1, -1};
  uint64_t pwm_token_ = 0;
};

}  // namespace sim
