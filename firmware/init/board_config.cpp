#include "board_config.h"

#include "board_pins.h"
#include "stm32f10x_gpio.h"
#include "stm32f10x_nvic.h"
#include "stm32f10x_pwr.h"
#include "stm32f10x_rcc.h"
#include "stm32f10x_tim.h"
#include "stm32f10x_usart.h"
#include "system_init.h"

using namespace board_pins;

namespace {

void pin_init(GPIO_TypeDef* port, uint16_t pins, GPIOMode_TypeDef mode, GPIOSpeed_TypeDef speed) {
  GPIO_InitTypeDef init;
  init.GPIO_Pin = pins;
  init.GPIO_Speed = speed;
  init.GPIO_Mode = mode;
  GPIO_Init(port, &init);
}

void serial_init(USART_TypeDef* usart) {
  USART_InitTypeDef init;
  init.USART_BaudRate = kSerialBaud;
  init.USART_WordLength = USART_WordLength_8b;
  init.USART_StopBits = USART_StopBits_1;
  init.USART_Parity = USART_Parity_No;
  init.USART_HardwareFlowControl = USART_HardwareFlowControl_None;
  init.USART_Mode = USART_Mode_Rx | USART_Mode_Tx;
  USART_Init(usart, &init);
  USART_Cmd(usart, ENABLE);
}

void time_base_init(TIM_TypeDef* timer, uint32_t tick_hz, uint16_t period) {
  TIM_TimeBaseInitTypeDef init;
  init.TIM_Prescaler = static_cast<uint16_t>(SystemCoreClock / tick_hz - 1);
  init.TIM_CounterMode = TIM_CounterMode_Up;
  init.TIM_Period = period;
  init.TIM_ClockDivision = TIM_CKD_DIV1;
  init.TIM_RepetitionCounter = 0;
  TIM_TimeBaseInit(timer, &init);
}

}  // namespace

void RCC_Configuration(void) {
  (void)clock_tree_setup();

  RCC_AHBPeriphClockCmd(RCC_AHBPeriph_CRC, ENABLE);
  RCC_APB1PeriphClockCmd(RCC_APB1Periph_PWR | RCC_APB1Periph_BKP, ENABLE);
  RCC_APB1PeriphClockCmd(RCC_APB1Periph_TIM3, ENABLE);
  RCC_APB1PeriphClockCmd(RCC_APB1Periph_TIM4, ENABLE);
  RCC_APB1PeriphClockCmd(RCC_APB1Periph_USART2, ENABLE);
  PWR_DeInit();
  PWR_BackupAccessCmd(ENABLE);
  RCC_APB2PeriphClockCmd(
      RCC_APB2Periph_AFIO | RCC_APB2Periph_GPIOA | RCC_APB2Periph_GPIOB | RCC_APB2Periph_GPIOC, ENABLE);
  RCC_APB2PeriphClockCmd(RCC_APB2Periph_USART1, ENABLE);
}

void NVIC_Configuration(void) {
  // All four priority bits as pre-emption: BASEPRI masks by group priority, and
  // under grouping 2 the kernel's ceiling 0xBF would mask the motor interrupts too.
  NVIC_PriorityGroupConfig(NVIC_PriorityGroup_4);

  NVIC_InitTypeDef init;
  init.NVIC_IRQChannelPreemptionPriority = kMotorIrqPreemption;
  init.NVIC_IRQChannelSubPriority = kMotorIrqSub;
  init.NVIC_IRQChannelCmd = ENABLE;
  init.NVIC_IRQChannel = TIM3_IRQn;
  NVIC_Init(&init);
  init.NVIC_IRQChannel = TIM4_IRQn;
  NVIC_Init(&init);
}

void GPIO_Configuration(void) {
  GPIO_PinRemapConfig(GPIO_Remap_SWJ_Disable, ENABLE);
  pin_init(GPIOA, kMotorPwm1 | kMotorPwm2, GPIO_Mode_AF_PP, GPIO_Speed_50MHz);
  // The output latches keep their reset 0: PA5 low, both LEDs lit.
  pin_init(GPIOA, kMotorEnable, GPIO_Mode_Out_PP, GPIO_Speed_10MHz);
  pin_init(GPIOA, kGreenLed, GPIO_Mode_Out_PP, GPIO_Speed_10MHz);
  pin_init(GPIOA, kBlueLed, GPIO_Mode_Out_PP, GPIO_Speed_10MHz);
}

void USART1_Configuration(void) {
  pin_init(GPIOA, kConsoleTx, GPIO_Mode_AF_PP, GPIO_Speed_50MHz);
  pin_init(GPIOA, kConsoleRx, GPIO_Mode_IN_FLOATING, GPIO_Speed_50MHz);
  serial_init(USART1);
}

void USART2_Configuration(void) {
  pin_init(GPIOA, kRs485Tx, GPIO_Mode_AF_PP, GPIO_Speed_50MHz);
  pin_init(GPIOA, kRs485Rx, GPIO_Mode_IN_FLOATING, GPIO_Speed_50MHz);
  pin_init(GPIOA, kRs485DriverEnable, GPIO_Mode_Out_PP, GPIO_Speed_10MHz);
  GPIO_WriteBit(GPIOA, kRs485DriverEnable, Bit_RESET);
  serial_init(USART2);
}

void TIMER3_Configuration(void) {
  time_base_init(TIM3, kMotorTimerTickHz, kMotorPwmPeriod);

  TIM_OCInitTypeDef oc;
  oc.TIM_OCMode = TIM_OCMode_PWM1;
  oc.TIM_OutputState = TIM_OutputState_Enable;
  oc.TIM_OutputNState = 0;
  oc.TIM_Pulse = kMotorPwmPulse;
  oc.TIM_OCPolarity = TIM_OCPolarity_High;
  oc.TIM_OCNPolarity = 0;
  oc.TIM_OCIdleState = 0;
  oc.TIM_OCNIdleState = 0;
  TIM_OC1Init(TIM3, &oc);
  TIM_OC1PreloadConfig(TIM3, TIM_OCPreload_Enable);
  TIM_OC2Init(TIM3, &oc);
  TIM_OC2PreloadConfig(TIM3, TIM_OCPreload_Enable);

  TIM_ARRPreloadConfig(TIM3, ENABLE);
  TIM_ITConfig(TIM3, TIM_IT_CC1 | TIM_IT_CC2, ENABLE);
}

void Encoders_Configuration(void) {
  time_base_init(TIM4, kEncoderTimerTickHz, kEncoderTimerPeriod);

  TIM_ICInitTypeDef ic;
  ic.TIM_Channel = TIM_Channel_3;
  ic.TIM_ICPolarity = TIM_ICPolarity_Rising;
  ic.TIM_ICSelection = TIM_ICSelection_DirectTI;
  ic.TIM_ICPrescaler = TIM_ICPSC_DIV1;
  ic.TIM_ICFilter = 0;
  TIM_ICInit(TIM4, &ic);

  TIM_ARRPreloadConfig(TIM4, ENABLE);
  TIM_ITConfig(TIM4, TIM_IT_Update | TIM_IT_CC3, ENABLE);
}

void Keyboard_Configuration(void) {
  pin_init(GPIOC, kKeyReturns, GPIO_Mode_IPU, GPIO_Speed_50MHz);
  pin_init(GPIOC, kKeyScan1 | kKeyScan2, GPIO_Mode_Out_PP, GPIO_Speed_50MHz);
  GPIO_SetBits(GPIOC, kKeyScan1);
  GPIO_SetBits(GPIOC, kKeyScan2);
}
