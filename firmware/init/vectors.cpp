// The vector table of the STM32F103 medium-density line. On the simulated board
// the CPU model dispatches through this same table.
#include "vectors.h"

#include "FreeRTOS.h"
#include "core_cm3.h"
#include "itrs.h"

extern "C" void Default_Handler(void) { cpu_halt("unexpected exception"); }

#if defined(__arm__)
extern "C" uint32_t _estack;
extern "C" void Reset_Handler(void);
#define VECTOR_INITIAL_STACK reinterpret_cast<vector_t>(&_estack)
#define VECTOR_RESET Reset_Handler
#else
#define VECTOR_INITIAL_STACK nullptr
#define VECTOR_RESET nullptr  // the simulated board resets by itself
#endif

#define D Default_Handler

// clang-format off
extern "C" __attribute__((section(".isr_vector"), used)) const vector_t g_pfnVectors[] = {
    VECTOR_INITIAL_STACK, VECTOR_RESET,
    D,  // NMI
    D,  // hard fault
    D,  // memory management fault
    D,  // bus fault
    D,  // usage fault
    nullptr, nullptr, nullptr, nullptr,
    vPortSVCHandler,
    D,  // debug monitor
    nullptr,
    xPortPendSVHandler,
    xPortSysTickHandler,
    // IRQ 0..28: WWDG, PVD, TAMPER, RTC, FLASH, RCC, EXTI0-4, DMA1 1-7, ADC1_2, USB HP, USB LP,
    // CAN RX1, CAN SCE, EXTI9_5, TIM1 BRK, TIM1 UP, TIM1 TRG_COM, TIM1 CC, TIM2
    D, D, D, D, D, D, D, D, D, D, D, D, D, D, D, D, D, D, D, D, D, D, D, D, D, D, D, D, D,
    vEngine3Handler,  // IRQ 29: TIM3, the motor's PWM timer
    vEngine4Handler,  // IRQ 30: TIM4, the encoder timer
    // IRQ 31..67: I2C1/2, SPI1/2, USART1-3, EXTI15_10, RTC alarm, USB wake-up
    D, D, D, D, D, D, D, D, D, D, D, D, D, D, D, D, D, D, D, D, D, D, D, D, D, D, D, D, D, D, D, D, D, D, D, D, D,
};
// clang-format on

static_assert(sizeof(g_pfnVectors) / sizeof(g_pfnVectors[0]) == kVectorCount);
