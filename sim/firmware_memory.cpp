#include "firmware_memory.h"

#include <cstdint>
#include <vector>

// Defined by the linker when the sections exist; weak, so that programs without
// them (the fuzzers, unit tests) link and see null.
extern "C" {
extern unsigned char __start_tarvik_data[] __attribute__((weak));
extern unsigned char __stop_tarvik_data[] __attribute__((weak));
extern unsigned char __start_tarvik_bss[] __attribute__((weak));
extern unsigned char __stop_tarvik_bss[] __attribute__((weak));
}

namespace sim {

namespace {

struct Range {
  unsigned char* begin;
  unsigned char* end;
  size_t size() const { return begin != nullptr && end > begin ? static_cast<size_t>(end - begin) : 0; }
};

Range data_range() { return {__start_tarvik_data, __stop_tarvik_data}; }
Range bss_range() { return {__start_tarvik_bss, __stop_tarvik_bss}; }

std::vector<unsigned char> g_data, g_bss;
bool g_taken = false;

// The sanitizer's red zones between globals lie in these ranges: copied byte by
// byte, uninstrumented, and through volatile so that no library copy (which the
// sanitizer checks) is put in its place.
__attribute__((no_sanitize("address", "undefined"))) void copy(volatile unsigned char* to,
                                                               const volatile unsigned char* from, size_t n) {
  for (size_t i = 0; i < n; ++i) to[i] = from[i];
}

}  // namespace

void firmware_memory_snapshot() {
  if (g_taken) return;
  g_taken = true;
  const Range d = data_range(), b = bss_range();
  g_data.resize(d.size());
  g_bss.resize(b.size());
  copy(g_data.data(), d.begin, d.size());
  copy(g_bss.data(), b.begin, b.size());
}

bool firmware_memory_restore() {
  if (!g_taken || firmware_memory_size() == 0) return false;
  const Range d = data_range(), b = bss_range();
  copy(d.begin, g_data.data(), d.size());
  copy(b.begin, g_bss.data(), b.size());
  return true;
}

size_t firmware_memory_size() { return data_range().size() + bss_range().size(); }

}  // namespace sim
