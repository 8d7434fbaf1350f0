#include "stm32f10x_tim.h"

namespace {

using stm32f1::set_bits;
using stm32f1::set_field;

// Channels are numbered 0 to 3 here; CCMR1 holds channels 1-2, CCMR2 3-4.
reg32_t& ccmr(TIM_TypeDef* t, unsigned ch) { return ch < 2 ? t->CCMR1 : t->CCMR2; }
constexpr unsigned ccmr_shift(unsigned ch) { return (ch & 1u) * 8; }
constexpr unsigned ccer_shift(unsigned ch) { return ch * 4; }

reg32_t& ccr(TIM_TypeDef* t, unsigned ch) {
  switch (ch) {
    case 0:
      return t->CCR1;
    case 1:
      return t->CCR2;
    case 2:
      return t->CCR3;
    default:
      return t->CCR4;
  }
}

// The capture/compare selection is writable only while the channel is off.
void channel_off(TIM_TypeDef* t, unsigned ch) { t->CCER = t->CCER & ~(TIM_CCER_CCE << ccer_shift(ch)); }

void oc_init(TIM_TypeDef* t, unsigned ch, const TIM_OCInitTypeDef& s) {
  channel_off(t, ch);
  const unsigned sh = ccmr_shift(ch);
  const unsigned cs = ccer_shift(ch);
  reg32_t& mode_reg = ccmr(t, ch);
  const uint32_t mode =
      (mode_reg & ~((TIM_CCMR_OCM | TIM_CCMR_CCS) << sh)) | ((s.TIM_OCMode & TIM_CCMR_OCM) << sh);
  const uint32_t ccer = (t->CCER & ~((TIM_CCER_CCE | TIM_CCER_CCP) << cs)) |
                        (((s.TIM_OCPolarity | s.TIM_OutputState) & (TIM_CCER_CCE | TIM_CCER_CCP)) << cs);
  mode_reg = mode;
  ccr(t, ch) = s.TIM_Pulse;
  t->CCER = ccer;
}

void oc_preload(TIM_TypeDef* t, unsigned ch, uint16_t preload) {
  const unsigned sh = ccmr_shift(ch);
  set_field(ccmr(t, ch), TIM_CCMR_OCPE << sh, static_cast<uint32_t>(preload) << sh);
}

void oc_mode(TIM_TypeDef* t, unsigned ch, uint16_t mode) {
  const unsigned sh = ccmr_shift(ch);
  set_field(ccmr(t, ch), TIM_CCMR_OCM << sh, static_cast<uint32_t>(mode) << sh);
}

}  // namespace

void TIM_TimeBaseInit(TIM_TypeDef* TIMx, const TIM_TimeBaseInitTypeDef* TIM_TimeBaseInitStruct) {
  const TIM_TimeBaseInitTypeDef& s = *TIM_TimeBaseInitStruct;
  set_field(TIMx->CR1, TIM_CR1_DIR | TIM_CR1_CMS | TIM_CR1_CKD, s.TIM_CounterMode | s.TIM_ClockDivision);
  TIMx->ARR = s.TIM_Period;
  TIMx->PSC = s.TIM_Prescaler;
  TIMx->EGR = TIM_EGR_UG;
}

void TIM_OC1Init(TIM_TypeDef* TIMx, const TIM_OCInitTypeDef* TIM_OCInitStruct) {
  oc_init(TIMx, 0, *TIM_OCInitStruct);
}
void TIM_OC2Init(TIM_TypeDef* TIMx, const TIM_OCInitTypeDef* TIM_OCInitStruct) {
  oc_init(TIMx, 1, *TIM_OCInitStruct);
}
void TIM_OC3Init(TIM_TypeDef* TIMx, const TIM_OCInitTypeDef* TIM_OCInitStruct) {
  oc_init(TIMx, 2, *TIM_OCInitStruct);
}
void TIM_OC4Init(TIM_TypeDef* TIMx, const TIM_OCInitTypeDef* TIM_OCInitStruct) {
  oc_init(TIMx, 3, *TIM_OCInitStruct);
}

void TIM_OC1PreloadConfig(TIM_TypeDef* TIMx, uint16_t TIM_OCPreload) { oc_preload(TIMx, 0, TIM_OCPreload); }
void TIM_OC2PreloadConfig(TIM_TypeDef* TIMx, uint16_t TIM_OCPreload) { oc_preload(TIMx, 1, TIM_OCPreload); }
void TIM_OC3PreloadConfig(TIM_TypeDef* TIMx, uint16_t TIM_OCPreload) { oc_preload(TIMx, 2, TIM_OCPreload); }
void TIM_OC4PreloadConfig(TIM_TypeDef* TIMx, uint16_t TIM_OCPreload) { oc_preload(TIMx, 3, TIM_OCPreload); }

void TIM_ForcedOC1Config(TIM_TypeDef* TIMx, uint16_t TIM_ForcedAction) { oc_mode(TIMx, 0, TIM_ForcedAction); }
void TIM_ForcedOC2Config(TIM_TypeDef* TIMx, uint16_t TIM_ForcedAction) { oc_mode(TIMx, 1, TIM_ForcedAction); }

void TIM_ICInit(TIM_TypeDef* TIMx, const TIM_ICInitTypeDef* TIM_ICInitStruct) {
  const TIM_ICInitTypeDef& s = *TIM_ICInitStruct;
  const unsigned ch = (s.TIM_Channel >> 2) & 3u;
  const unsigned sh = ccmr_shift(ch);
  const unsigned cs = ccer_shift(ch);
  channel_off(TIMx, ch);
  const uint32_t input = (s.TIM_ICSelection & TIM_CCMR_CCS) | (s.TIM_ICPrescaler & TIM_CCMR_ICPSC) |
                         ((static_cast<uint32_t>(s.TIM_ICFilter) << 4) & TIM_CCMR_ICF);
  set_field(ccmr(TIMx, ch), (TIM_CCMR_CCS | TIM_CCMR_ICPSC | TIM_CCMR_ICF) << sh, input << sh);
  const uint32_t ccer = (s.TIM_ICPolarity & TIM_CCER_CCP) | TIM_CCER_CCE;
  set_field(TIMx->CCER, (TIM_CCER_CCE | TIM_CCER_CCP) << cs, ccer << cs);
}

void TIM_ARRPreloadConfig(TIM_TypeDef* TIMx, FunctionalState NewState) {
  set_bits(TIMx->CR1, TIM_CR1_ARPE, NewState != DISABLE);
}

void TIM_ITConfig(TIM_TypeDef* TIMx, uint16_t TIM_IT, FunctionalState NewState) {
  set_bits(TIMx->DIER, TIM_IT, NewState != DISABLE);
}

void TIM_Cmd(TIM_TypeDef* TIMx, FunctionalState NewState) {
  set_bits(TIMx->CR1, TIM_CR1_CEN, NewState != DISABLE);
}

void TIM_GenerateEvent(TIM_TypeDef* TIMx, uint16_t TIM_EventSource) { TIMx->EGR = TIM_EventSource; }

void TIM_SetCounter(TIM_TypeDef* TIMx, uint16_t Counter) { TIMx->CNT = Counter; }
uint16_t TIM_GetCounter(TIM_TypeDef* TIMx) { return static_cast<uint16_t>(TIMx->CNT); }

void TIM_SetCompare3(TIM_TypeDef* TIMx, uint16_t Compare3) { TIMx->CCR3 = Compare3; }
void TIM_SetCompare4(TIM_TypeDef* TIMx, uint16_t Compare4) { TIMx->CCR4 = Compare4; }

uint16_t TIM_GetCapture1(TIM_TypeDef* TIMx) { return static_cast<uint16_t>(TIMx->CCR1); }
uint16_t TIM_GetCapture2(TIM_TypeDef* TIMx) { return static_cast<uint16_t>(TIMx->CCR2); }
uint16_t TIM_GetCapture4(TIM_TypeDef* TIMx) { return static_cast<uint16_t>(TIMx->CCR4); }

// Status bits clear by writing 0 and ignore a written 1, so no read is needed.
void TIM_ClearFlag(TIM_TypeDef* TIMx, uint16_t TIM_FLAG) { TIMx->SR = static_cast<uint16_t>(~TIM_FLAG); }

