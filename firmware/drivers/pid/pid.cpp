#include "pid.h"

int32_t IntTerm_C = 0;
int16_t PrevError_C = 0;

namespace {

constexpr unsigned kFractionBits = 10;

// The chip's 32-bit arithmetic: sums and products wrap instead of overflowing.
constexpr uint32_t u32(int32_t v) { return static_cast<uint32_t>(v); }
constexpr int32_t s32(uint32_t v) { return static_cast<int32_t>(v); }

}  // namespace

void InitPID(uint16_t intterm) {
  IntTerm_C = static_cast<int32_t>(static_cast<uint32_t>(intterm) << kFractionBits);
}

uint16_t DoPID(int16_t Error, const uint16_t* Coeff) {
  const uint32_t kp = Coeff[0];
  const uint32_t ki = Coeff[1];
  const uint32_t kd = Coeff[2];
  const uint32_t error = u32(Error);

  // Frozen rather than clamped, so the integral does not wind up at a limit.
  const int32_t t = s32(u32(IntTerm_C) + ki * error);
  if (t >= 0 && t <= Border) IntTerm_C = t;

  int32_t output = s32(kp * error + u32(IntTerm_C) + kd * (error - u32(PrevError_C)));
  if (output < 0) {
    output = 0;
  } else if (output >= Border) {
    output = Border;
  }
  PrevError_C = Error;
  return static_cast<uint16_t>(output >> kFractionBits);
}

uint16_t DoFullPID(uint16_t In, uint16_t Ref, const uint16_t* Coeff) {
  const uint16_t error = static_cast<uint16_t>(Ref - In);
  IntTerm_C = s32(u32(IntTerm_C) + Coeff[1] * static_cast<uint32_t>(error));
  const uint32_t output = static_cast<uint16_t>(Coeff[0] * static_cast<uint32_t>(error)) +
                          Coeff[2] * (error - u32(PrevError_C)) + u32(IntTerm_C);
  PrevError_C = static_cast<int16_t>(error);
  return static_cast<uint16_t>(output);
}
