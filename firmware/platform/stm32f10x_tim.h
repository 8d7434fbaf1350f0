// General-purpose timers (TIM3, TIM4): time base, output compare / PWM, input
// capture and their interrupts.
#pragma once
#include <cstdint>

#include "stm32f10x.h"

struct TIM_TimeBaseInitTypeDef {
  uint16_t TIM_Prescaler;
  uint16_t TIM_CounterMode;
  uint16_t TIM_Period;
  uint16_t TIM_ClockDivision;
  uint8_t TIM_RepetitionCounter;  // advanced timers only
};

struct TIM_OCInitTypeDef {
  uint16_t TIM_OCMode;
  uint16_t TIM_OutputState;
  uint16_t TIM_OutputNState;  // advanced timers only
  uint16_t TIM_Pulse;
  uint16_t TIM_OCPolarity;
  uint16_t TIM_OCNPolarity;   // advanced timers only
  uint16_t TIM_OCIdleState;   // advanced timers only
  uint16_t TIM_OCNIdleState;  // advanced timers only
};

struct TIM_ICInitTypeDef {
  uint16_t TIM_Channel;
  uint16_t TIM_ICPolarity;
  uint16_t TIM_ICSelection;
  uint16_t TIM_ICPrescaler;
  uint16_t TIM_ICFilter;
};

constexpr uint16_t TIM_CounterMode_Up = 0x0000;
constexpr uint16_t TIM_CounterMode_Down = 0x0010;
constexpr uint16_t TIM_CounterMode_CenterAligned1 = 0x0020;
constexpr uint16_t TIM_CounterMode_CenterAligned2 = 0x0040;
constexpr uint16_t TIM_CounterMode_CenterAligned3 = 0x0060;
constexpr uint16_t TIM_CKD_DIV1 = 0x0000;
constexpr uint16_t TIM_CKD_DIV2 = 0x0100;
constexpr uint16_t TIM_CKD_DIV4 = 0x0200;

constexpr uint16_t TIM_OCMode_Timing = 0x0000;
constexpr uint16_t TIM_OCMode_Active = 0x0010;
constexpr uint16_t TIM_OCMode_Inactive = 0x0020;
constexpr uint16_t TIM_OCMode_Toggle = 0x0030;
constexpr uint16_t TIM_OCMode_PWM1 = 0x0060;
constexpr uint16_t TIM_OCMode_PWM2 = 0x0070;
constexpr uint16_t TIM_ForcedAction_Active = 0x0050;
constexpr uint16_t TIM_ForcedAction_InActive = 0x0040;
constexpr uint16_t TIM_OutputState_Disable = 0x0000;
constexpr uint16_t TIM_OutputState_Enable = 0x0001;
constexpr uint16_t TIM_OCPolarity_High = 0x0000;
constexpr uint16_t TIM_OCPolarity_Low = 0x0002;
constexpr uint16_t TIM_OCPreload_Enable = 0x0008;
constexpr uint16_t TIM_OCPreload_Disable = 0x0000;

constexpr uint16_t TIM_Channel_1 = 0x0000;
constexpr uint16_t TIM_Channel_2 = 0x0004;
constexpr uint16_t TIM_Channel_3 = 0x0008;
constexpr uint16_t TIM_Channel_4 = 0x000C;
constexpr uint16_t TIM_ICPolarity_Rising = 0x0000;
constexpr uint16_t TIM_ICPolarity_Falling = 0x0002;
constexpr uint16_t TIM_ICSelection_DirectTI = 0x0001;
constexpr uint16_t TIM_ICSelection_IndirectTI = 0x0002;
constexpr uint16_t TIM_ICSelection_TRC = 0x0003;
constexpr uint16_t TIM_ICPSC_DIV1 = 0x0000;
constexpr uint16_t TIM_ICPSC_DIV2 = 0x0004;
constexpr uint16_t TIM_ICPSC_DIV4 = 0x0008;
constexpr uint16_t TIM_ICPSC_DIV8 = 0x000C;

// Interrupt sources, status flags and software events share bit positions.
constexpr uint16_t TIM_IT_Update = 0x0001;
constexpr uint16_t TIM_IT_CC1 = 0x0002;
constexpr uint16_t TIM_IT_CC2 = 0x0004;
constexpr uint16_t TIM_IT_CC3 = 0x0008;
constexpr uint16_t TIM_IT_CC4 = 0x0010;
constexpr uint16_t TIM_IT_Trigger = 0x0040;
constexpr uint16_t TIM_FLAG_Update = 0x0001;
constexpr uint16_t TIM_FLAG_CC1 = 0x0002;
constexpr uint16_t TIM_FLAG_CC2 = 0x0004;
constexpr uint16_t TIM_FLAG_CC3 = 0x0008;
constexpr uint16_t TIM_FLAG_CC4 = 0x0010;
constexpr uint16_t TIM_FLAG_Trigger = 0x0040;
constexpr uint16_t TIM_FLAG_CC1OF = 0x0200;
constexpr uint16_t TIM_FLAG_CC2OF = 0x0400;
constexpr uint16_t TIM_FLAG_CC3OF = 0x0800;
constexpr uint16_t TIM_FLAG_CC4OF = 0x1000;
constexpr uint16_t TIM_EventSource_Update = 0x0001;
constexpr uint16_t TIM_EventSource_CC1 = 0x0002;
constexpr uint16_t TIM_EventSource_CC2 = 0x0004;
constexpr uint16_t TIM_EventSource_CC3 = 0x0008;
constexpr uint16_t TIM_EventSource_CC4 = 0x0010;
constexpr uint16_t TIM_EventSource_Trigger = 0x0040;

// Programs counting mode, clock division, period and prescaler, then generates an
// update event so that the prescaler takes effect at once (this sets the update
// flag, as on the chip).
void TIM_TimeBaseInit(TIM_TypeDef* TIMx, const TIM_TimeBaseInitTypeDef* TIM_TimeBaseInitStruct);
void TIM_OC1Init(TIM_TypeDef* TIMx, const TIM_OCInitTypeDef* TIM_OCInitStruct);
void TIM_OC2Init(TIM_TypeDef* TIMx, const TIM_OCInitTypeDef* TIM_OCInitStruct);
void TIM_OC3Init(TIM_TypeDef* TIMx, const TIM_OCInitTypeDef* TIM_OCInitStruct);
void TIM_OC4Init(TIM_TypeDef* TIMx, const TIM_OCInitTypeDef* TIM_OCInitStruct);
void TIM_OC1PreloadConfig(TIM_TypeDef* TIMx, uint16_t TIM_OCPreload);
void TIM_OC2PreloadConfig(TIM_TypeDef* TIMx, uint16_t TIM_OCPreload);
void TIM_OC3PreloadConfig(TIM_TypeDef* TIMx, uint16_t TIM_OCPreload);
void TIM_OC4PreloadConfig(TIM_TypeDef* TIMx, uint16_t TIM_OCPreload);
// Writes the channel's output-compare mode field with the value given: a forced
// level (TIM_ForcedAction_*) or any TIM_OCMode_* to return to it.
void TIM_ForcedOC1Config(TIM_TypeDef* TIMx, uint16_t TIM_ForcedAction);
void TIM_ForcedOC2Config(TIM_TypeDef* TIMx, uint16_t TIM_ForcedAction);
void TIM_ICInit(TIM_TypeDef* TIMx, const TIM_ICInitTypeDef* TIM_ICInitStruct);
void TIM_ARRPreloadConfig(TIM_TypeDef* TIMx, FunctionalState NewState);
void TIM_ITConfig(TIM_TypeDef* TIMx, uint16_t TIM_IT, FunctionalState NewState);
void TIM_Cmd(TIM_TypeDef* TIMx, FunctionalState NewState);
void TIM_GenerateEvent(TIM_TypeDef* TIMx, uint16_t TIM_EventSource);
void TIM_SetCounter(TIM_TypeDef* TIMx, uint16_t Counter);
uint16_t TIM_GetCounter(TIM_TypeDef* TIMx);
inline void TIM_SetAutoreload(TIM_TypeDef* TIMx, uint16_t Autoreload) { TIMx->ARR = Autoreload; }
inline void TIM_SetCompare1(TIM_TypeDef* TIMx, uint16_t Compare1) { TIMx->CCR1 = Compare1; }
inline void TIM_SetCompare2(TIM_TypeDef* TIMx, uint16_t Compare2) { TIMx->CCR2 = Compare2; }
void TIM_SetCompare3(TIM_TypeDef* TIMx, uint16_t Compare3);
void TIM_SetCompare4(TIM_TypeDef* TIMx, uint16_t Compare4);
// In capture mode reading the value also clears the channel's capture flag.
uint16_t TIM_GetCapture1(TIM_TypeDef* TIMx);
uint16_t TIM_GetCapture2(TIM_TypeDef* TIMx);
inline uint16_t TIM_GetCapture3(TIM_TypeDef* TIMx) { return static_cast<uint16_t>(TIMx->CCR3); }
uint16_t TIM_GetCapture4(TIM_TypeDef* TIMx);
void TIM_ClearFlag(TIM_TypeDef* TIMx, uint16_t TIM_FLAG);
// Pending and enabled. Inline, with the compare and capture accessors above:
// the motor interrupts call them on every run.
[[gnu::always_inline]] inline ITStatus TIM_GetITStatus(TIM_TypeDef* TIMx, uint16_t TIM_IT) {
  const bool pending = (TIMx->SR & TIM_IT) != 0;
  const bool enabled = (TIMx->DIER & TIM_IT) != 0;
  return pending && enabled ? SET : RESET;
}
[[gnu::always_inline]] inline FlagStatus TIM_GetFlagStatus(TIM_TypeDef* TIMx, uint16_t TIM_FLAG) {
  return (TIMx->SR & TIM_FLAG) != 0 ? SET : RESET;
}
// Status bits clear by writing 0 and ignore a written 1, so no read is needed.
inline void TIM_ClearITPendingBit(TIM_TypeDef* TIMx, uint16_t TIM_IT) { TIMx->SR = static_cast<uint16_t>(~TIM_IT); }
