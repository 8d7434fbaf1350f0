// The board's wiring and fixed rates: which pin does what.
#pragma once
#include <cstdint>

#include "stm32f10x_gpio.h"

namespace board_pins {

// RS485 telemetry line (USART2) and its transceiver's driver enable, high while sending.
constexpr uint16_t kRs485Tx = GPIO_Pin_2;            // PA2
constexpr uint16_t kRs485Rx = GPIO_Pin_3;            // PA3
constexpr uint16_t kRs485DriverEnable = GPIO_Pin_4;  // PA4
// Motor 3: power stage enable (active low) and its two PWM inputs, TIM3 channels 1 and 2.
constexpr uint16_t kMotorEnable = GPIO_Pin_5;  // PA5
constexpr uint16_t kMotorPwm1 = GPIO_Pin_6;    // PA6
constexpr uint16_t kMotorPwm2 = GPIO_Pin_7;    // PA7
// Console line (USART1).
constexpr uint16_t kConsoleTx = GPIO_Pin_9;   // PA9
constexpr uint16_t kConsoleRx = GPIO_Pin_10;  // PA10
// LEDs, lit when low.
constexpr uint16_t kGreenLed = GPIO_Pin_11;  // PA11
constexpr uint16_t kBlueLed = GPIO_Pin_12;   // PA12
// Encoder on TIM4 channel 3 (PB8), left as the floating input it is after reset.
constexpr uint16_t kEncoder = GPIO_Pin_8;  // PB8
// Key matrix on port C: return lines read with pull-ups, scan lines driven.
constexpr uint16_t kKeyReturns = GPIO_Pin_4 | GPIO_Pin_6 | GPIO_Pin_7;  // PC4, PC6, PC7
constexpr uint16_t kKeyScan1 = GPIO_Pin_10;                             // PC10
constexpr uint16_t kKeyScan2 = GPIO_Pin_13;                             // PC13

constexpr uint32_t kSerialBaud = 115200;
constexpr uint32_t kMotorTimerTickHz =
    10000000;  // TIM3 counter asked for; the whole prescaler gives 72 MHz / 7
constexpr uint16_t kMotorPwmPeriod = 1000;
constexpr uint16_t kMotorPwmPulse = 1000;
constexpr uint32_t kEncoderTimerTickHz = 100000;  // TIM4 counter: 10 us
constexpr uint16_t kEncoderTimerPeriod = 0x3FFF;
constexpr uint8_t kMotorIrqPreemption = 6;
constexpr uint8_t kMotorIrqSub = 0;

}  // namespace board_pins
