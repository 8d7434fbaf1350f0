// The arithmetic of the two motor interrupts, apart from their registers: profile
// stepping, the PWM compare value, and encoder intervals with their mean.
#pragma once
#include <stdint.h>

// last_acc_index while no profile is being stepped.
constexpr uint32_t kProfileIdle = 0xFFFFFFFFu;

// Where the TIM3 interrupt is in the published profile.
struct sProfileCursor {
  uint32_t last_acc_index = kProfileIdle;  // PWM periods spent on the profile
  uint32_t serial = 0;                     // the publication being stepped
};

enum class eProfileStep : uint8_t { none, entry, ended };

// One PWM period against the published profile: publication `serial` with n
// entries (0: none), each held for 64 periods. A new publication starts at its
// first entry. Returns `entry` with the pulse to apply, or `ended` on the period
// that ends the profile, which applies the last entry and leaves the cursor idle.
// With n = 0 neither `serial` nor `table` is looked at.
eProfileStep engine3_profile_step(sProfileCursor* c, uint32_t serial, uint32_t n, const uint16_t* table,
                                  uint16_t* pulse);

// Compare value for the channel carrying the PWM. Kept within the period so that
// the channel still matches the counter, and so still raises its interrupt, every
// period; a larger pulse drives like one equal to the period.
constexpr uint16_t engine3_pwm_compare(uint16_t pulse, uint16_t period) {
  return pulse < period ? pulse : period;
}

constexpr uint8_t encoder3_filter = 8;

// The encoder interrupt's memory between runs.
struct sEncoder3 {
  uint8_t encoder3_rise = 0;  // an edge was captured in this counter period
  uint16_t encoder3_last_value = 0;
  uint32_t encoder3_acc_value[encoder3_filter] = {};  // the last intervals, a ring
  uint8_t encoder3_filter_cur = 0;                    // ring slot of the next write
  uint32_t sum = 0;  // of the ring (modulo 2^32), kept as it changes rather than added up each time
};

// Counts from capture `prev` to capture `value` on a counter that wraps every
// `modulus` counts. Equal captures are a whole counter period apart.
constexpr uint32_t encoder3_between(uint16_t prev, uint16_t value, uint32_t modulus) {
  return value > prev ? static_cast<uint32_t>(value - prev) : modulus - prev + value;
}

// A rising edge captured at `value`. The first edge of a counter period only
// seeds; later ones add an interval to the ring, and then the function returns
// true with the mean of the ring in *mean.
bool encoder3_capture(sEncoder3* s, uint16_t value, uint32_t modulus, uint32_t* mean);

// The counter wrapped. Returns true when no edge came in the whole period (the
// motor stands); the ring keeps its entries either way.
bool encoder3_wrap(sEncoder3* s);
