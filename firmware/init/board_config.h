// The board's fixed hardware set-up, called once each by main in this order:
// RCC, NVIC, GPIO, USART1, USART2, TIMER3, Encoders, Keyboard.
#pragma once

// Clock tree again through the library, then the peripheral clocks and write
// access to the backup registers.
void RCC_Configuration(void);
// Priority grouping and the two motor timer interrupts, above the kernel's ceiling.
void NVIC_Configuration(void);
// Debug port off (its pins become I/O), motor PWM and enable pins, LEDs.
void GPIO_Configuration(void);
// Console line: 115200 8N1, receive and transmit.
void USART1_Configuration(void);
// RS485 line: 115200 8N1, with the transceiver left listening (PA4 low).
void USART2_Configuration(void);
// Motor PWM on channels 1 and 2, compare interrupts on, counter left stopped.
void TIMER3_Configuration(void);
// Encoder interval capture on channel 3 at 100 kHz; main starts the counter.
void Encoders_Configuration(void);
// Key matrix lines: pulled-up returns, scan lines resting high.
void Keyboard_Configuration(void);
