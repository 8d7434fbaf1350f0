#include "motor_loop.h"

#include "acceleration.h"

eProfileStep engine3_profile_step(sProfileCursor* c, uint32_t serial, uint32_t n, const uint16_t* table,
                                  uint16_t* pulse) {
  // Without a profile the serial does not matter: the cursor is idle either way.
  if (n == 0) {
    if (c->last_acc_index != kProfileIdle) c->last_acc_index = kProfileIdle;  // most runs store nothing
    return eProfileStep::none;
  }
  if (serial != c->serial) {
    c->serial = serial;
    c->last_acc_index = kProfileIdle;
  }
  if (c->last_acc_index == kProfileIdle) c->last_acc_index = 0;
  // At or past the end, never beyond the table.
  if (c->last_acc_index >= n * kPeriodsPerEntry) {
    c->last_acc_index = kProfileIdle;
    *pulse = table[n - 1];
    return eProfileStep::ended;
  }
  *pulse = table[c->last_acc_index / kPeriodsPerEntry];
  c->last_acc_index += 1;
  return eProfileStep::entry;
}

bool encoder3_capture(sEncoder3* s, uint16_t value, uint32_t modulus, uint32_t* mean) {
  if (s->encoder3_rise == 0) {
    s->encoder3_rise = 1;
    s->encoder3_last_value = value;
    return false;
  }
  const uint16_t prev = s->encoder3_last_value;
  s->encoder3_last_value = value;
  if (s->encoder3_filter_cur == encoder3_filter) s->encoder3_filter_cur = 0;
  uint32_t& slot = s->encoder3_acc_value[s->encoder3_filter_cur];
  const uint32_t interval = encoder3_between(prev, value, modulus);
  s->sum += interval - slot;
  slot = interval;
  s->encoder3_filter_cur += 1;
  static_assert(encoder3_filter == 1u << 3);
  *mean = s->sum >> 3;
  return true;
}

bool encoder3_wrap(sEncoder3* s) {
  if (s->encoder3_rise == 0) return true;
  // The next period's first edge only re-seeds: no interval across a quiet gap.
  s->encoder3_rise = 0;
  return false;
}
