// The motor's timer interrupts. Both run above the kernel's masking ceiling, so
// neither calls a kernel service nor allocates.
#pragma once

// TIM3, once per PWM period on the compare event of the channel carrying the PWM:
// applies period, profile step or PID step, pulse and direction.
extern "C" void vEngine3Handler(void);

// TIM4: encoder interval by input capture on channel 3, its mean over the last
// eight, standstill at a counter period without edges, and the PID sample flag.
extern "C" void vEngine4Handler(void);
