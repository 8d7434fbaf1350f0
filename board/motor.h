// Motor 3 on the board: the power stage (enable PA5, active low; bridge inputs PA6
// and PA7 from TIM3 channels 1 and 2), a DC motor, and its encoder, whose rising
// edges on PB8 TIM4 channel 3 captures.
//
// The bridge puts the supply across the motor while its two inputs differ, the
// sign by which input is low; with equal inputs it shorts the motor, and with the
// stage disabled no current flows. The PWM is far faster than the mechanics
// (10 kHz against a time constant of about 0.1 s), so each millisecond the motor
// sees the mean voltage of the PWM.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "event_queue.h"

namespace board {

class Gpio;
class Timer;

struct MotorParams {
  double supply_v = 12.0;        // bridge supply, V
  double resistance_ohm = 2.0;   // armature resistance, ohm
  double ke = 0.02;              // back-EMF constant, V s/rad
  double kt = 0.02;              // torque constant, N m/A
  double inertia = 2.0e-5;       // rotor and coupled load, kg m^2
  double friction = 0.0133;      // Coulomb friction, N m (about 11% of full drive)
  double load = 0.0;             // extra load torque against the motion, N m
  double edges_per_rev = 8;      // encoder rising edges per revolution

  // Sets one parameter by its name above; false for an unknown name or a bad value.
  bool set(const std::string& key, double value);
  // "key=value,key=value"; on error returns false and names the offending part.
  bool parse(const std::string& list, std::string& error);
};

class Motor {
 public:
  static constexpr Cycles kStep = kCpuHz / 1000;  // one millisecond

  Motor(EventQueue& events, Gpio& porta, Gpio& portb, Timer& tim3, Timer& tim4);
  MotorParams params;

  double rpm() const;
  double omega() const { return omega_; }  // rad/s, positive forward
  // Mean voltage across the motor over the PWM period, 0 while the stage is off.
  double drive_voltage();
  bool enabled() const;
  uint64_t edges() const { return edges_; }
  // A blocked rotor (a jammed load): it stands, whatever the drive.
  void set_stalled(bool stalled) {
    if (on_input) on_input("stall", stalled ? 1 : 0);
    stalled_ = stalled;
  }
  // A load torque on the shaft (N m) from now on.
  void set_load(double torque) {
    if (on_input) on_input("load", torque);
    params.load = torque;
  }
  // Hears every change from outside (a jam, a load), for recording.
  std::function<void(const char* what, double value)> on_input;

  // Watchers: every step (the speed) and every encoder edge (the TIM4 count).
  void add_step_watcher(std::function<void(Cycles, double rpm)> fn) { step_watchers_.push_back(std::move(fn)); }
  void add_edge_watcher(std::function<void(Cycles, uint16_t count)> fn) { edge_watchers_.push_back(std::move(fn)); }

 private:
  static void step_event(void* self, uint64_t);
  static void edge_event(void* self, uint64_t);
  static void edge_fall_event(void* self, uint64_t);
  void step();
  double bridge_input(int pin, int channel);

  EventQueue& events_;
  Gpio& porta_;
  Gpio& portb_;
  Timer& tim3_;
  Timer& tim4_;
  double omega_ = 0;     // rad/s
  double travel_ = 0;    // revolutions turned, either way, since power-on
  uint64_t edges_ = 0;
  bool stalled_ = false;
  std::vector<std::function<void(Cycles, double)>> step_watchers_;
  std::vector<std::function<void(Cycles, uint16_t)>> edge_watchers_;
};

}  // namespace board
