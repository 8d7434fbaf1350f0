// Acceleration profiles: a ramp of pulse values computed once in a task, then
// stepped by the TIM3 interrupt, one entry per 64 PWM periods.
#pragma once
#include <stdint.h>

enum ACC_type : uint8_t { ACC_K = 0 };  // linear ramp with integer stepping

constexpr uint32_t kPeriodsPerEntry = 64;

// Profile steps for `param` ms at the nominal 10 MHz timer clock and this PWM
// period, in 32-bit wrap-around; a period of 0 gives 0.
uint32_t engine3_profile_steps(uint16_t period, uint32_t param);

// Entries the stepping may write for `steps` steps: the extra steps of a steep
// ramp can run one past steps + 2.
constexpr uint32_t engine3_profile_room(uint32_t steps) { return steps + 3; }

// Fills `table` (engine3_profile_room(steps) entries) with the ramp from
// min_period to max_period; returns the number of entries written.
uint32_t engine3_profile_fill(uint16_t* table, int32_t min_period, int32_t max_period, uint32_t steps);

// Computes a ramp over `param` ms and hands it to the TIM3 interrupt. Task context.
// Returns 0 when published (or for a type other than ACC_K, which changes
// nothing), 1 when no memory was left; then no profile runs.
uint8_t engine3_call_accelerate(ACC_type type, int32_t min_period, int32_t max_period, uint32_t param);
