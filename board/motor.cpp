#include "motor.h"

#include <cmath>
#include <cstdlib>

#include "gpio.h"
#include "timer.h"

namespace board {

namespace {

constexpr double kTwoPi = 6.283185307179586;
constexpr int kEventPriority = 30;
constexpr int kEnablePin = 5, kInputA = 6, kInputB = 7, kEncoderPin = 8;

bool alternate_output(const Gpio& port, int pin) {
  const uint8_t m = port.mode(pin);
  return (m & 0x3u) != 0 && (m & 0x8u) != 0;
}

}  // namespace

bool MotorParams::set(const std::string& key, double value) {
  if (!std::isfinite(value) || value < 0) return false;
  if (key == "supply_v") supply_v = value;
  else if (key == "resistance_ohm" && value > 0) resistance_ohm = value;
  else if (key == "ke") ke = value;
  else if (key == "kt") kt = value;
  else if (key == "inertia" && value > 0) inertia = value;
  else if (key == "friction") friction = value;
  else if (key == "load") load = value;
  else if (key == "edges_per_rev" && value >= 1) edges_per_rev = value;
  else return false;
  return true;
}

bool MotorParams::parse(const std::string& list, std::string& error) {
  size_t pos = 0;
  while (pos <= list.size()) {
    const size_t comma = list.find(',', pos);
    const std::string item = list.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
    const size_t eq = item.find('=');
    char* end = nullptr;
    const double value = eq == std::string::npos ? 0 : std::strtod(item.c_str() + eq + 1, &end);
    if (eq == std::string::npos || end == item.c_str() + eq + 1 || *end != '\0' || !set(item.substr(0, eq), value)) {
      error = item;
      return false;
    }
    if (comma == std::string::npos) break;
    pos = comma + 1;
  }
  return true;
}

Motor::Motor(EventQueue& events, Gpio& porta, Gpio& portb, Timer& tim3, Timer& tim4)
    : events_(events), porta_(porta), portb_(portb), tim3_(tim3), tim4_(tim4) {
  events_.schedule(kStep, kEventPriority, step_event, this);
}

double Motor::rpm() const { return omega_ * 60.0 / kTwoPi; }

bool Motor::enabled() const { return !porta_.level(kEnablePin); }

// A bridge input: the timer channel when the pin is in its alternate function,
// else the pin's own level; as a share of the period it is high.
double Motor::bridge_input(int pin, int channel) {
  if (alternate_output(porta_, pin)) return tim3_.high_fraction(channel);
  return porta_.level(pin) ? 1.0 : 0.0;
}

double Motor::drive_voltage() {
  if (!enabled()) return 0;
  // Current flows A to B while A is high and B low; both inputs' high spans start
  // at the counter's 0, so the spans where they differ come to the difference.
  return params.supply_v * (bridge_input(kInputB, 2) - bridge_input(kInputA, 1));
}

void Motor::step_event(void* self, uint64_t) {
  auto* m = static_cast<Motor*>(self);
  m->step();
  m->events_.schedule(m->events_.now() + kStep, kEventPriority, step_event, m);
}

void Motor::step() {
  const MotorParams& p = params;
  const double h = 1.0 / 1000.0;
  const bool on = enabled();
  const double v = drive_voltage();
  const double opposing = p.friction + p.load;
  // dω/dt = a - b ω over the step, with the friction's sign fixed for the step.
  const double b = on ? p.kt * p.ke / (p.resistance_ohm * p.inertia) : 0.0;
  const double drive_torque = on ? p.kt * v / p.resistance_ohm : 0.0;
  if (stalled_) omega_ = 0;
  double direction = omega_ > 0 ? 1.0 : omega_ < 0 ? -1.0 : 0.0;
  if (direction == 0) {
    if (stalled_ || std::fabs(drive_torque) <= opposing) {  // held by static friction or the jam
      for (const auto& fn : step_watchers_) fn(events_.now(), 0.0);
      return;
    }
    direction = drive_torque > 0 ? 1.0 : -1.0;
  }
  const double a = (drive_torque - direction * opposing) / p.inertia;
  const double w0 = omega_;
  double w1, turned;  // rad/s at the end, radians turned (signed)
  if (b > 0) {
    const double w_inf = a / b, decay = std::exp(-b * h);
    w1 = w_inf + (w0 - w_inf) * decay;
    turned = w_inf * h + (w0 - w_inf) * (1.0 - decay) / b;
  } else {
    w1 = w0 + a * h;
    turned = (w0 + w1) / 2 * h;
  }
  if (w1 * direction < 0) {  // friction brought it to a stop within the step
    const double t_stop = h * w0 / (w0 - w1);
    turned = w0 * t_stop / 2;
    w1 = 0;
  }
  omega_ = w1;

  // Encoder edges within this step, placed by linear interpolation.
  const double revs = std::fabs(turned) / kTwoPi;
  const double before = travel_ * p.edges_per_rev;
  travel_ += revs;
  const double after = travel_ * p.edges_per_rev;
  const Cycles start = events_.now();
  for (double e = std::floor(before) + 1; e <= after; e += 1) {
    const double f = (e - before) / (after - before);
    events_.schedule(start + static_cast<Cycles>(f * static_cast<double>(kStep)), kEventPriority, edge_event, this);
  }
  for (const auto& fn : step_watchers_) fn(start, rpm());
}

void Motor::edge_event(void* self, uint64_t) {
  auto* m = static_cast<Motor*>(self);
  ++m->edges_;
  m->portb_.drive(kEncoderPin, true);
  m->tim4_.input_edge(3, true);
  if (!m->edge_watchers_.empty()) {
    const uint16_t count = m->tim4_.counter();
    for (const auto& fn : m->edge_watchers_) fn(m->events_.now(), count);
  }
  // A short pulse: the encoder's output falls again 20 µs later.
  m->events_.schedule(m->events_.now() + kCpuHz / 50000, kEventPriority, edge_fall_event, m);
}

void Motor::edge_fall_event(void* self, uint64_t) {
  auto* m = static_cast<Motor*>(self);
  m->portb_.drive(kEncoderPin, false);
  m->tim4_.input_edge(3, false);
}

}  // namespace board
