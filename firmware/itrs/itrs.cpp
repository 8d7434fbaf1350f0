#include "itrs.h"

#include "acceleration.h"
#include "engine.h"
#include "init/board_pins.h"
#include "motor_loop.h"
#include "pid.h"
#include "stm32f10x_tim.h"

namespace {

// TIM4 counts from 0 to its auto-reload, so intervals are taken modulo one more.
constexpr uint32_t kEncoderModulus = static_cast<uint32_t>(board_pins::kEncoderTimerPeriod) + 1;

uint16_t low16(uint32_t v) { return static_cast<uint16_t>(v); }

// The work of one PWM period, on the compare event of the channel carrying the
// PWM. Out of line, so that the other channel's run, which only acknowledges its
// event, saves no registers: it is half of all the runs.
[[gnu::noinline]] void engine3_period_run(uint8_t d) {
  static sProfileCursor cursor;
  static uint8_t last_direction = 0;

  const uint16_t period = low16(AtomicFetchAndAdd(&engine3_period, 0));
  TIM_SetAutoreload(TIM3, period);

  // The table is dereferenced only while the count is non-zero, and then it is
  // live: the task ends a profile before it releases the table, and cannot run
  // while this handler does. Most runs have no profile and skip the serial and
  // the table.
  const uint32_t n = AtomicFetchAndAdd(&engine3_acceleration_index, 0);
  uint32_t serial = 0;
  const uint16_t* table = nullptr;
  if (n != 0) {
    serial = AtomicFetchAndAdd(&engine3_acceleration_serial, 0);
    table = engine3_addr_get<uint16_t>(&engine3_pointer_to_acceleration);
  }
  uint16_t pulse = 0;
  switch (engine3_profile_step(&cursor, serial, n, table, &pulse)) {
    case eProfileStep::none:
      pulse = low16(AtomicFetchAndAdd(&engine3_pulse, 0));
      break;
    case eProfileStep::ended:
      AtomicSet(&engine3_acceleration_index, 0);
      AtomicSet(&engine3_pulse, pulse);
      break;
    case eProfileStep::entry:
      AtomicSet(&engine3_pulse, pulse);
      break;
  }

  const uint32_t t = AtomicFetchAndAdd(&engine3_pid_target, 0);
  if (t != kPidOff) {
    uint16_t target;
    if (t == kPidCapture) {
      target = low16(AtomicFetchAndAdd(&encoder3_interval, 0));
      AtomicSet(&engine3_pid_target, target);
      // Regulation starts from the present drive, without a jump.
      InitPID(pulse);
    } else {
      target = low16(t);
    }
    // e3target may set a set-point before any coefficients exist. The
    // coefficients are looked up only on the runs that have a sample.
    const uint16_t* koef = nullptr;
    if ((AtomicFetchAndAdd(&engine3_sync, 0) & 0xFFu) != 0 &&
        (koef = engine3_addr_get<uint16_t>(&engine3_pointer_to_pid)) != nullptr) {
      AtomicSet(&engine3_sync, 0);
      const auto error = static_cast<int16_t>(target - AtomicFetchAndAdd(&encoder3_interval, 0));
      pulse = DoPID(error, koef);
      AtomicSet(&engine3_pulse, pulse);
    }
  }

  if (d == last_direction) {
    const uint16_t compare = engine3_pwm_compare(pulse, period);
    if (d == 0) {
      TIM_SetCompare1(TIM3, compare);
      TIM_SetCompare2(TIM3, period);
    } else {
      TIM_SetCompare2(TIM3, compare);
      TIM_SetCompare1(TIM3, period);
    }
  } else {
    // One period with neither channel driving before the other direction starts.
    TIM_SetCompare1(TIM3, period);
    TIM_SetCompare2(TIM3, period);
    last_direction = d;
  }
}

// A flag clear reaches the timer through the bus bridge some cycles after the
// store: a handler returning at once would leave its line high and be entered
// again for nothing. Reading the timer back waits until the clear is there; one
// register read is enough.
void clear_reached(TIM_TypeDef* tim) { (void)TIM_GetFlagStatus(tim, TIM_FLAG_CC1); }

}  // namespace

extern "C" void vEngine3Handler(void) {
  const auto d = static_cast<uint8_t>(AtomicFetchAndAdd(&engine3_direction, 0));
  // Only the channel carrying the PWM does the work; the other just acknowledges.
  if (TIM_GetITStatus(TIM3, TIM_IT_CC1) != RESET) {
    TIM_ClearITPendingBit(TIM3, TIM_IT_CC1);
    if (d == 1) return clear_reached(TIM3);
  } else if (TIM_GetITStatus(TIM3, TIM_IT_CC2) != RESET) {
    TIM_ClearITPendingBit(TIM3, TIM_IT_CC2);
    if (d == 0) return clear_reached(TIM3);
  } else {
    return;
  }
  engine3_period_run(d);
}

extern "C" void vEngine4Handler(void) {
  static sEncoder3 encoder;

  if (TIM_GetITStatus(TIM4, TIM_IT_CC3) != RESET) {
    TIM_ClearITPendingBit(TIM4, TIM_IT_CC3);
    uint32_t mean;
    if (encoder3_capture(&encoder, TIM_GetCapture3(TIM4), kEncoderModulus, &mean)) {
      AtomicSet(&encoder3_interval, mean);
    }
  }
  if (TIM_GetITStatus(TIM4, TIM_IT_Update) != RESET) {
    TIM_ClearITPendingBit(TIM4, TIM_IT_Update);
    if (encoder3_wrap(&encoder)) AtomicSet(&encoder3_interval, 0);
    // One PID sample per counter period.
    AtomicSet(&engine3_sync, 1);
  }
}
