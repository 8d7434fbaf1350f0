#include "acceleration.h"

#include <stdlib.h>

#include "engine.h"

namespace {

// Timer counts per millisecond at the nominal 10 MHz.
constexpr uint32_t kCountsPerMs = 10000;
constexpr unsigned kEntryShift = 6;  // 64 PWM periods per entry
static_assert(1u << kEntryShift == kPeriodsPerEntry);

}  // namespace

uint32_t engine3_profile_steps(uint16_t period, uint32_t param) {
  if (period == 0) return 0;
  return (param * kCountsPerMs / period) >> kEntryShift;
}

uint32_t engine3_profile_fill(uint16_t* table, int32_t min_period, int32_t max_period, uint32_t steps) {
  const uint32_t count_of_iteration = steps;
  const bool rising = max_period > min_period;
  const uint32_t d = rising ? static_cast<uint32_t>(max_period) - static_cast<uint32_t>(min_period)
                            : static_cast<uint32_t>(min_period) - static_cast<uint32_t>(max_period);

  // Enough steps for every unit: unit steps with hold entries between them.
  // Fewer steps than units: steps of d / N, the remainder spent as extra steps.
  uint32_t skip = d == 0 ? 0 : count_of_iteration / d;
  uint32_t step;
  if (skip == 0) {
    step = count_of_iteration == 0 ? 0 : d / count_of_iteration;
  } else {
    skip = skip - 1;
    step = 1;
  }
  const uint32_t hold_err = count_of_iteration - d * (skip + 1);
  const uint32_t step_err = d - count_of_iteration * step;

  auto step_of = [&](uint16_t v) -> uint16_t {
    if (rising) return static_cast<uint16_t>(v + static_cast<uint16_t>(step));
    return static_cast<int32_t>(v) > static_cast<int32_t>(step) ? static_cast<uint16_t>(v - step) : 0;
  };

  uint16_t* array_of_value = table;
  array_of_value[0] = static_cast<uint16_t>(min_period);
  int32_t acc_err = 0;
  int32_t c_skip = 0;
  uint32_t i = 1;
  while (i <= count_of_iteration) {
    if (static_cast<uint32_t>(c_skip) < skip) {
      array_of_value[i] = array_of_value[i - 1];
      acc_err = static_cast<int32_t>(static_cast<uint32_t>(acc_err) + hold_err);
      // A whole unit of remainder: one more hold before the next step.
      if (static_cast<uint32_t>(acc_err) >= count_of_iteration) {
        acc_err = 0;
      } else {
        c_skip += 1;
      }
    } else {
      array_of_value[i] = step_of(array_of_value[i - 1]);
      if (skip != 0) {
        c_skip = 0;
      } else {
        acc_err = static_cast<int32_t>(static_cast<uint32_t>(acc_err) + step_err);
        if (acc_err >= static_cast<int32_t>(step)) {
          i += 1;
          array_of_value[i] = step_of(array_of_value[i - 1]);
          acc_err = 0;
        }
      }
    }
    const int32_t reached = array_of_value[i];
    if (rising ? reached >= max_period : reached <= max_period) break;
    i += 1;
  }
  array_of_value[i] = static_cast<uint16_t>(max_period);
  return i + 1;
}

uint8_t engine3_call_accelerate(ACC_type type, int32_t min_period, int32_t max_period, uint32_t param) {
  if (type != ACC_K) return 0;
  const uint32_t steps = engine3_profile_steps(engine3_get_period(), param);

  // End the running profile before its table goes: the interrupt reads the table
  // only while the count is non-zero, and no task runs while the interrupt does.
  AtomicSet(&engine3_acceleration_index, 0);
  free(engine3_addr_get<uint16_t>(&engine3_pointer_to_acceleration));
  engine3_addr_set<uint16_t>(&engine3_pointer_to_acceleration, nullptr);

  auto* table = static_cast<uint16_t*>(calloc(engine3_profile_room(steps), sizeof(uint16_t)));
  if (table == nullptr) return 1;
  const uint32_t entries = engine3_profile_fill(table, min_period, max_period, steps);

  // Table, then a new serial so the interrupt starts at entry 0, then the count.
  engine3_addr_set(&engine3_pointer_to_acceleration, table);
  AtomicFetchAndAdd(&engine3_acceleration_serial, 1);
  AtomicSet(&engine3_acceleration_index, entries);
  return 0;
}
