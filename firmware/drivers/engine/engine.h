// Motor 3: the drive state that the console task and the timer interrupts share,
// switching the power stage, acceleration profiles and the PID set-up.
#pragma once
#include <stdint.h>

#include "atomic.h"

// Every shared word is read whole with AtomicFetchAndAdd(word, 0) and written with
// AtomicSet; the interrupts work on local copies. Nothing here takes a lock.
extern uint32_t engine3_pulse;                // compare value of the channel carrying the PWM (low 16 bits)
extern uint32_t engine3_period;               // TIM3 auto-reload; compare value of the other channel
extern uint32_t engine3_freq;                 // nominal TIM3 clock in Hz, for display only
extern uint32_t engine3_direction;            // 0: channel 1 carries the PWM; any other value: channel 2
extern uint32_t engine3_acceleration_index;   // entries of the running profile; 0: none
extern uint32_t engine3_acceleration_serial;  // counts published profiles
extern uint32_t engine3_pid_target;           // set-point in encoder counts, or a code below
extern uint32_t engine3_sync;                 // PID sample due: set by TIM4, cleared by TIM3
extern uint32_t encoder3_interval;            // mean encoder interval in TIM4 counts; 0: standstill

constexpr uint32_t kPidOff = 0xFFFFFFFFu;      // regulator off (the reset value)
constexpr uint32_t kPidCapture = 0xFFFFFFFEu;  // take the present speed as set-point

// Addresses of the heap blocks handed to the timer interrupt. On the chip an
// address is one more 32-bit word; a host address needs a wider one.
#if UINTPTR_MAX == UINT32_MAX
using engine3_addr_t = uint32_t;
#else
using engine3_addr_t = uint64_t;
#endif
extern engine3_addr_t engine3_pointer_to_acceleration;  // the profile table (uint16_t entries)
extern engine3_addr_t engine3_pointer_to_pid;           // {Kp, Ki, Kd}

template <typename T>
T* engine3_addr_get(engine3_addr_t* word) {
#if UINTPTR_MAX == UINT32_MAX
  return reinterpret_cast<T*>(static_cast<uintptr_t>(AtomicFetchAndAdd(word, 0)));
#else
  return reinterpret_cast<T*>(static_cast<uintptr_t>(__atomic_load_n(word, __ATOMIC_SEQ_CST)));
#endif
}

template <typename T>
void engine3_addr_set(engine3_addr_t* word, T* block) {
  const auto value = static_cast<engine3_addr_t>(reinterpret_cast<uintptr_t>(block));
#if UINTPTR_MAX == UINT32_MAX
  AtomicSet(word, value);
#else
  __atomic_store_n(word, value, __ATOMIC_SEQ_CST);
#endif
}

// Power stage enabled (PA5 low), TIM3 counting, both channels in PWM mode 1.
void engine3_on(void);
// Power stage disabled (PA5 high), TIM3 stopped, both outputs forced active.
void engine3_off(void);

// The setters only store: the next TIM3 compare interrupt applies the value.
void engine3_set_pulse(uint16_t pulse);
void engine3_set_freq(uint32_t freq);
void engine3_set_period(uint16_t period);
void engine3_change_dir(uint8_t dir);
uint16_t engine3_get_pulse(void);
uint32_t engine3_get_freq(void);
uint16_t engine3_get_period(void);
uint16_t engine3_get_dir(void);

// Set-point word for a PID mode: 1 captures the present speed, 2 switches off,
// 0 uses `target` (sign-extended), anything else gives 0.
uint32_t engine3_pid_setpoint(int8_t flag, int16_t target);

// Installs a new coefficient array {k_p, k_i, k_d}, then the set-point for `flag`.
// Task context. Returns 0, or 1 with nothing changed when no memory is left.
uint8_t engine3_pid(int8_t flag, int16_t target, int16_t k_p, int16_t k_i, uint16_t k_d);
