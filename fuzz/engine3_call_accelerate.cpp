// Acceleration profiles over random start and end values, ramp times and PWM
// periods. The table is computed into exactly the room reserved for it (a write
// past it is caught); computed twice over different fill patterns it comes out
// the same, so no entry is read before it is written; entries after the last
// stay untouched. engine3_call_accelerate publishes that same table, or nothing
// when memory is short, and releases the table before.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "FreeRTOS.h"
#include "acceleration.h"
#include "engine.h"
#include "heap_info.h"

namespace {

// Tables beyond this are refused by the kernel heap anyway; computing them here
// would only slow the fuzzer down.
constexpr uint32_t kMaxSteps = 1u << 16;

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "engine3_call_accelerate: %s\n", what);
  std::abort();
}

std::vector<uint16_t> fill(uint16_t pattern, int32_t from, int32_t to, uint32_t steps, uint32_t* entries) {
  const uint32_t room = engine3_profile_room(steps);
  auto* table = static_cast<uint16_t*>(std::malloc(room * sizeof(uint16_t)));
  for (uint32_t i = 0; i < room; ++i) table[i] = pattern;
  *entries = engine3_profile_fill(table, from, to, steps);
  std::vector<uint16_t> out(table, table + room);
  std::free(table);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size != 14) return 0;
  int32_t from, to;
  uint32_t ms;
  uint16_t period;
  std::memcpy(&from, data, 4);
  std::memcpy(&to, data + 4, 4);
  std::memcpy(&ms, data + 8, 4);
  std::memcpy(&period, data + 12, 2);

  const uint32_t steps = engine3_profile_steps(period, ms);
  if (steps > kMaxSteps) return 0;
  uint32_t entries, again;
  const std::vector<uint16_t> a = fill(0x0000, from, to, steps, &entries);
  const std::vector<uint16_t> b = fill(0xFFFF, from, to, steps, &again);
  if (entries != again || entries < 2 || entries > a.size()) fail("entry count");
  for (uint32_t i = 0; i < entries; ++i)
    if (a[i] != b[i]) fail("an entry read before it was written, or never written");
  for (uint32_t i = entries; i < a.size(); ++i)
    if (a[i] != 0x0000 || b[i] != 0xFFFF) fail("written after the last entry");
  if (a[0] != static_cast<uint16_t>(from)) fail("first entry");
  if (a[entries - 1] != static_cast<uint16_t>(to)) fail("last entry");

  // The same on the unit's heap, through the call the console makes.
  engine3_set_period(period);
  uint16_t* before = engine3_addr_get<uint16_t>(&engine3_pointer_to_acceleration);
  const size_t free_before = xPortGetFreeHeapSize() + (before != nullptr ? heap_block_size(before) + 8 : 0);
  const uint8_t result = engine3_call_accelerate(ACC_K, from, to, ms);
  uint16_t* table = engine3_addr_get<uint16_t>(&engine3_pointer_to_acceleration);
  const uint32_t published = AtomicFetchAndAdd(&engine3_acceleration_index, 0);
  if (result == 0) {
    if (table == nullptr || published != entries) fail("not published");
    if (std::memcmp(table, a.data(), entries * sizeof(uint16_t)) != 0) fail("published another table");
    if (xPortGetFreeHeapSize() + heap_block_size(table) + 8 != free_before) fail("the old table was kept");
  } else {
    if (table != nullptr || published != 0) fail("published after running out of memory");
    if (xPortGetFreeHeapSize() != free_before) fail("the old table was kept");
  }
  return 0;
}
