// Core services of the simulated Cortex-M3 for the host build: the masking
// registers, exclusive access, busy waiting and halting. Every call is a
// preemption point of the board's CPU model.
#pragma once
#include <cstdint>

namespace hostcpu {

uint32_t get_basepri();
void set_basepri(uint32_t value);
uint32_t get_primask();
void set_primask(uint32_t value);
uint32_t ldrex(volatile uint32_t* addr);
uint32_t strex(uint32_t value, volatile uint32_t* addr);  // 0 on success
void svc();                                               // supervisor call (starts the first task)
void exception_return();                     // leave the exception a new context was entered from
void busy_cycles(uint64_t cycles);           // a busy loop of that many cycles
void spin();                                 // one turn of an endless polling loop
[[noreturn]] void halt(const char* reason);  // an endless loop the board never leaves

}  // namespace hostcpu
