// The integer PID routines and the regulator set-up the console calls.
#include "pid.h"

#include <gtest/gtest.h>

#include <cstdint>

#include "FreeRTOS.h"
#include "engine.h"
#include "heap_info.h"

namespace {

uint16_t kDefaults[3] = {37, 20, 8};  // Kp, Ki, Kd as the console gives them

void start(uint16_t intterm) {
  InitPID(intterm);
  PrevError_C = 0;
}

TEST(Pid, StepsFromAnInitialIntegral) {
  start(500);
  const struct {
    int16_t error;
    uint16_t output;
    int32_t integral_change;
  } steps[] = {{10, 500, 200}, {10, 500, 200}, {-100, 493, -2000}, {0, 499, 0}};
  for (const auto& s : steps) {
    const int32_t before = IntTerm_C;
    EXPECT_EQ(DoPID(s.error, kDefaults), s.output) << s.error;
    EXPECT_EQ(IntTerm_C - before, s.integral_change) << s.error;
  }
}

TEST(Pid, IntegralFreezesAtItsLimitsAndTheOutputIsClamped) {
  start(0);
  EXPECT_EQ(DoPID(-5, kDefaults), 0);
  EXPECT_EQ(IntTerm_C, 0);
  start(800);
  EXPECT_EQ(DoPID(100, kDefaults), 800);
  EXPECT_EQ(IntTerm_C, Border);
  start(799);  // frozen, not clamped: part of the step would still fit
  DoPID(100, kDefaults);
  EXPECT_EQ(IntTerm_C, 799 * 1024);
}

TEST(Pid, InitialisationKeepsThePreviousError) {
  const uint16_t kd_only[3] = {0, 0, 1024};
  start(100);
  EXPECT_EQ(DoPID(10, kd_only), 110);
  InitPID(100);
  EXPECT_EQ(DoPID(10, kd_only), 100);
}

TEST(Pid, ExtremeInputsStayInRange) {
  // Products near the 32-bit limits; the sanitizer build flags any signed overflow.
  for (uint16_t k : {0, 32767, 65535}) {
    const uint16_t coeff[3] = {k, k, 65535};
    start(400);
    for (int16_t e : {-32768, -1, 32767}) {
      EXPECT_LE(DoPID(e, coeff), 800) << k << " " << e;
      EXPECT_TRUE(IntTerm_C >= 0 && IntTerm_C <= Border) << k << " " << e;
    }
  }
}

TEST(PidSetup, FlagSelectsTheSetPoint) {
  EXPECT_EQ(engine3_pid_setpoint(0, 500), 500u);
  EXPECT_EQ(engine3_pid_setpoint(0, -2), kPidCapture);
  EXPECT_EQ(engine3_pid_setpoint(0, -1000), 0xFFFFFC18u);  // sign-extended
  EXPECT_EQ(engine3_pid_setpoint(1, 500), kPidCapture);
  EXPECT_EQ(engine3_pid_setpoint(2, 500), kPidOff);
  EXPECT_EQ(engine3_pid_setpoint(7, 500), 0u);
}

TEST(PidSetup, EachCallReplacesTheArrayAndNoMemoryChangesNothing) {
  ASSERT_EQ(engine3_pid(0, 300, 50, -1, 9), 0);
  const uint16_t* installed = engine3_addr_get<uint16_t>(&engine3_pointer_to_pid);
  EXPECT_EQ(installed[0], 50);
  EXPECT_EQ(installed[1], 0xFFFF);
  EXPECT_EQ(installed[2], 9);
  EXPECT_EQ(engine3_pid_target, 300u);

  const size_t free_heap = xPortGetFreeHeapSize();
  for (int i = 0; i < 50; ++i) ASSERT_EQ(engine3_pid(0, 300, 50, -1, 9), 0);
  EXPECT_EQ(xPortGetFreeHeapSize(), free_heap);  // the replaced arrays were released

  installed = engine3_addr_get<uint16_t>(&engine3_pointer_to_pid);
  heap_refuse_after(0);
  EXPECT_EQ(engine3_pid(2, 0, 1, 2, 3), 1);
  heap_refuse_after(~0ul);
  EXPECT_EQ(engine3_addr_get<uint16_t>(&engine3_pointer_to_pid), installed);
  EXPECT_EQ(engine3_pid_target, 300u);
}

}  // namespace
