#include "stm32f10x_rcc.h"

namespace {

constexpr uint32_t kCfgrClockFields =
    RCC_CFGR_SW | RCC_CFGR_HPRE | RCC_CFGR_PPRE1 | RCC_CFGR_PPRE2 | RCC_CFGR_ADCPRE | RCC_CFGR_MCO;
constexpr uint32_t kCfgrPllFields = RCC_CFGR_PLLSRC | RCC_CFGR_PLLXTPRE | RCC_CFGR_PLLMULL | RCC_CFGR_USBPRE;

using stm32f1::set_field;

void set_bits(reg32_t& reg, uint32_t bits, FunctionalState state) {
  stm32f1::set_bits(reg, bits, state != DISABLE);
}

}  // namespace

void RCC_DeInit(void) {
  RCC->CR = RCC->CR | RCC_CR_HSION;
  RCC->CFGR = RCC->CFGR & ~kCfgrClockFields;
  RCC->CR = RCC->CR & ~(RCC_CR_HSEON | RCC_CR_CSSON | RCC_CR_PLLON);
  // The bypass bit is writable only once the crystal oscillator is off.
  RCC->CR = RCC->CR & ~RCC_CR_HSEBYP;
  RCC->CFGR = RCC->CFGR & ~kCfgrPllFields;
  RCC->CIR = RCC_CIR_CLEAR_ALL;
}

void RCC_HSEConfig(uint32_t RCC_HSE) {
  RCC->CR = RCC->CR & ~RCC_CR_HSEON;
  RCC->CR = RCC->CR & ~RCC_CR_HSEBYP;
  if (RCC_HSE == RCC_HSE_ON) {
    RCC->CR = RCC->CR | RCC_CR_HSEON;
  } else if (RCC_HSE == RCC_HSE_Bypass) {
    RCC->CR = RCC->CR | RCC_CR_HSEBYP | RCC_CR_HSEON;
  }
}

ErrorStatus RCC_WaitForHSEStartUp(void) {
  // volatile: the count is the wait's length, whatever the optimiser makes of the loop.
  volatile uint32_t polls = 0;
  while (polls < HSE_STARTUP_TIMEOUT) {
    if (RCC_GetFlagStatus(RCC_FLAG_HSERDY) != RESET) return SUCCESS;
    polls = polls + 1;
  }
  return ERROR;
}

void RCC_PLLConfig(uint32_t RCC_PLLSource, uint32_t RCC_PLLMul) {
  set_field(RCC->CFGR, RCC_CFGR_PLLSRC | RCC_CFGR_PLLXTPRE | RCC_CFGR_PLLMULL, RCC_PLLSource | RCC_PLLMul);
}

void RCC_PLLCmd(FunctionalState NewState) { set_bits(RCC->CR, RCC_CR_PLLON, NewState); }

void RCC_SYSCLKConfig(uint32_t RCC_SYSCLKSource) { set_field(RCC->CFGR, RCC_CFGR_SW, RCC_SYSCLKSource); }

uint8_t RCC_GetSYSCLKSource(void) { return static_cast<uint8_t>(RCC->CFGR & RCC_CFGR_SWS); }

void RCC_HCLKConfig(uint32_t RCC_SYSCLK) { set_field(RCC->CFGR, RCC_CFGR_HPRE, RCC_SYSCLK); }

void RCC_PCLK1Config(uint32_t RCC_HCLK) { set_field(RCC->CFGR, RCC_CFGR_PPRE1, RCC_HCLK); }

void RCC_PCLK2Config(uint32_t RCC_HCLK) { set_field(RCC->CFGR, RCC_CFGR_PPRE2, RCC_HCLK << 3); }

void RCC_GetClocksFreq(RCC_ClocksTypeDef* RCC_Clocks) { *RCC_Clocks = stm32f1::rcc_clocks(RCC->CFGR); }

void RCC_AHBPeriphClockCmd(uint32_t RCC_AHBPeriph, FunctionalState NewState) {
  set_bits(RCC->AHBENR, RCC_AHBPeriph, NewState);
}

void RCC_APB1PeriphClockCmd(uint32_t RCC_APB1Periph, FunctionalState NewState) {
  set_bits(RCC->APB1ENR, RCC_APB1Periph, NewState);
}

void RCC_APB2PeriphClockCmd(uint32_t RCC_APB2Periph, FunctionalState NewState) {
  set_bits(RCC->APB2ENR, RCC_APB2Periph, NewState);
}

void RCC_APB1PeriphResetCmd(uint32_t RCC_APB1Periph, FunctionalState NewState) {
  set_bits(RCC->APB1RSTR, RCC_APB1Periph, NewState);
}

void RCC_APB2PeriphResetCmd(uint32_t RCC_APB2Periph, FunctionalState NewState) {
  set_bits(RCC->APB2RSTR, RCC_APB2Periph, NewState);
}

void RCC_BackupResetCmd(FunctionalState NewState) { set_bits(RCC->BDCR, RCC_BDCR_BDRST, NewState); }

FlagStatus RCC_GetFlagStatus(uint8_t RCC_FLAG) {
  uint32_t reg = 0;
  switch (RCC_FLAG >> 5) {
    case 1:
      reg = RCC->CR;
      break;
    case 2:
      reg = RCC->BDCR;
      break;
    default:
      reg = RCC->CSR;
      break;
  }
  return (reg >> (RCC_FLAG & 0x1F)) & 1u ? SET : RESET;
}
