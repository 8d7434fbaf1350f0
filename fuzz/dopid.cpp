// The PID step over random coefficients, start values and error sequences: no
// undefined arithmetic, the output stays within 0..800, an integral that starts
// within 0..Border stays there, and each step agrees with the same sums done in
// 64 bits and then wrapped to the chip's 32.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "pid.h"

namespace {

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "DoPID: %s\n", what);
  std::abort();
}

int32_t wrap(int64_t v) { return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(v))); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 10 || size > 4096) return 0;
  uint16_t coeff[3];
  uint16_t start;
  int16_t previous;
  std::memcpy(coeff, data, 6);
  std::memcpy(&start, data + 6, 2);
  std::memcpy(&previous, data + 8, 2);
  InitPID(start);
  PrevError_C = previous;

  for (size_t at = 10; at + 2 <= size; at += 2) {
    int16_t error;
    std::memcpy(&error, data + at, 2);
    const bool bounded = IntTerm_C >= 0 && IntTerm_C <= Border;
    const int32_t t = wrap(int64_t{IntTerm_C} + int64_t{coeff[1]} * error);
    const int32_t integral = t >= 0 && t <= Border ? t : IntTerm_C;
    int32_t expected = wrap(int64_t{coeff[0]} * error + integral + int64_t{coeff[2]} * (error - PrevError_C));
    expected = expected < 0 ? 0 : expected >= Border ? Border : expected;

    const uint16_t out = DoPID(error, coeff);
    if (out > 800) fail("output above 800");
    if (out != expected >> 10) fail("output differs from the 32-bit sums");
    if (IntTerm_C != integral) fail("integral");
    if (bounded && (IntTerm_C < 0 || IntTerm_C > Border)) fail("the integral left 0..Border");
    if (PrevError_C != error) fail("previous error not kept");
  }
  // The unlimited form has no range to keep, only no undefined arithmetic.
  (void)DoFullPID(static_cast<uint16_t>(data[0] | data[1] << 8),
                  static_cast<uint16_t>(data[2] | data[3] << 8), coeff);
  return 0;
}
