// Integer PID regulator: 10 fractional bits, output 0..800. Runs in the motor
// timer interrupt only, which is the sole user of the regulator memory.
#pragma once
#include <stdint.h>

// 800 x 1024: ceiling of the integral term and of the output before scaling.
constexpr int32_t Border = 819200;

// Regulator memory, zero at reset.
extern int32_t IntTerm_C;    // integral term x 1024
extern int16_t PrevError_C;  // error of the previous step

// Starts the integral at `intterm` (output units); the previous error is kept.
void InitPID(uint16_t intterm);

// One step with Coeff = {Kp, Ki, Kd}. A step that would take the integral out of
// 0..Border leaves it where it was. Returns 0..800.
uint16_t DoPID(int16_t Error, const uint16_t* Coeff);

// The same regulator without limits, all in 16-bit wrap-around; the motor loop
// does not use it.
uint16_t DoFullPID(uint16_t In, uint16_t Ref, const uint16_t* Coeff);
