#include "engine.h"

#include <stdlib.h>

#include "init/board_pins.h"
#include "stm32f10x_gpio.h"
#include "stm32f10x_tim.h"

uint32_t engine3_pulse = 1000;
uint32_t engine3_period = 1000;
uint32_t engine3_freq = 10000000;
uint32_t engine3_direction = 0;
uint32_t engine3_acceleration_index = 0;
uint32_t engine3_acceleration_serial = 0;
uint32_t engine3_pid_target = kPidOff;
uint32_t engine3_sync = 0;
uint32_t encoder3_interval = 0;
engine3_addr_t engine3_pointer_to_acceleration = 0;
engine3_addr_t engine3_pointer_to_pid = 0;

void engine3_on(void) {
  GPIO_WriteBit(GPIOA, board_pins::kMotorEnable, Bit_RESET);
  TIM_Cmd(TIM3, ENABLE);
  TIM_ForcedOC1Config(TIM3, TIM_OCMode_PWM1);
  TIM_ForcedOC2Config(TIM3, TIM_OCMode_PWM1);
}

void engine3_off(void) {
  GPIO_WriteBit(GPIOA, board_pins::kMotorEnable, Bit_SET);
  TIM_Cmd(TIM3, DISABLE);
  // Both driver inputs at the same level: no drive in either direction.
  TIM_ForcedOC1Config(TIM3, TIM_ForcedAction_Active);
  TIM_ForcedOC2Config(TIM3, TIM_ForcedAction_Active);
}

void engine3_set_pulse(uint16_t pulse) { AtomicSet(&engine3_pulse, pulse); }
void engine3_set_freq(uint32_t freq) { AtomicSet(&engine3_freq, freq); }
void engine3_set_period(uint16_t period) { AtomicSet(&engine3_period, period); }
void engine3_change_dir(uint8_t dir) { AtomicSet(&engine3_direction, dir); }

uint16_t engine3_get_pulse(void) { return static_cast<uint16_t>(AtomicFetchAndAdd(&engine3_pulse, 0)); }
uint32_t engine3_get_freq(void) { return AtomicFetchAndAdd(&engine3_freq, 0); }
uint16_t engine3_get_period(void) { return static_cast<uint16_t>(AtomicFetchAndAdd(&engine3_period, 0)); }
uint16_t engine3_get_dir(void) { return static_cast<uint16_t>(AtomicFetchAndAdd(&engine3_direction, 0)); }

uint32_t engine3_pid_setpoint(int8_t flag, int16_t target) {
  switch (flag) {
    case 0:
      return static_cast<uint32_t>(static_cast<int32_t>(target));
    case 1:
      return kPidCapture;
    case 2:
      return kPidOff;
    default:
      return 0;
  }
}

uint8_t engine3_pid(int8_t flag, int16_t target, int16_t k_p, int16_t k_i, uint16_t k_d) {
  auto* array_of_koef = static_cast<uint16_t*>(calloc(3, sizeof(uint16_t)));
  if (array_of_koef == nullptr) return 1;
  array_of_koef[0] = static_cast<uint16_t>(k_p);
  array_of_koef[1] = static_cast<uint16_t>(k_i);
  array_of_koef[2] = k_d;

  // The interrupt must never meet a released array: publish first, release after.
  // The set-point follows its coefficients.
  uint16_t* old = engine3_addr_get<uint16_t>(&engine3_pointer_to_pid);
  engine3_addr_set(&engine3_pointer_to_pid, array_of_koef);
  AtomicSet(&engine3_pid_target, engine3_pid_setpoint(flag, target));
  free(old);
  return 0;
}
