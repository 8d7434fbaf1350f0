// Reset and clock control: oscillators, PLL, bus prescalers and peripheral clocks.
#pragma once
#include <cstdint>

#include "stm32f10x.h"

constexpr uint32_t HSI_VALUE = 8000000u;  // internal RC oscillator
constexpr uint32_t HSE_VALUE = 8000000u;  // the board's crystal
// Polls of HSERDY before the crystal is given up: at least 4 cycles each at the
// 8 MHz the core runs at meanwhile, some 10 ms, well past the crystal's typical
// 2 ms start-up (at 0x500 the wait gave up first and the unit ran on the internal
// oscillator, nine times slow).
constexpr uint32_t HSE_STARTUP_TIMEOUT = 0x5000u;

struct RCC_ClocksTypeDef {
  uint32_t SYSCLK_Frequency;
  uint32_t HCLK_Frequency;
  uint32_t PCLK1_Frequency;
  uint32_t PCLK2_Frequency;
  uint32_t ADCCLK_Frequency;
};

// RCC_HSEConfig
constexpr uint32_t RCC_HSE_OFF = 0x00000000u;
constexpr uint32_t RCC_HSE_ON = 0x00010000u;
constexpr uint32_t RCC_HSE_Bypass = 0x00040000u;

// RCC_PLLConfig
constexpr uint32_t RCC_PLLSource_HSI_Div2 = 0x00000000u;
constexpr uint32_t RCC_PLLSource_HSE_Div1 = 0x00010000u;
constexpr uint32_t RCC_PLLSource_HSE_Div2 = 0x00030000u;
constexpr uint32_t RCC_PLLMul_2 = 0x00000000u;
constexpr uint32_t RCC_PLLMul_3 = 0x00040000u;
constexpr uint32_t RCC_PLLMul_4 = 0x00080000u;
constexpr uint32_t RCC_PLLMul_5 = 0x000C0000u;
constexpr uint32_t RCC_PLLMul_6 = 0x00100000u;
constexpr uint32_t RCC_PLLMul_7 = 0x00140000u;
constexpr uint32_t RCC_PLLMul_8 = 0x00180000u;
constexpr uint32_t RCC_PLLMul_9 = 0x001C0000u;
constexpr uint32_t RCC_PLLMul_10 = 0x00200000u;
constexpr uint32_t RCC_PLLMul_11 = 0x00240000u;
constexpr uint32_t RCC_PLLMul_12 = 0x00280000u;
constexpr uint32_t RCC_PLLMul_13 = 0x002C0000u;
constexpr uint32_t RCC_PLLMul_14 = 0x00300000u;
constexpr uint32_t RCC_PLLMul_15 = 0x00340000u;
constexpr uint32_t RCC_PLLMul_16 = 0x00380000u;

// RCC_SYSCLKConfig and RCC_GetSYSCLKSource
constexpr uint32_t RCC_SYSCLKSource_HSI = 0x00000000u;
constexpr uint32_t RCC_SYSCLKSource_HSE = 0x00000001u;
constexpr uint32_t RCC_SYSCLKSource_PLLCLK = 0x00000002u;

// RCC_HCLKConfig
constexpr uint32_t RCC_SYSCLK_Div1 = 0x00000000u;
constexpr uint32_t RCC_SYSCLK_Div2 = 0x00000080u;
constexpr uint32_t RCC_SYSCLK_Div4 = 0x00000090u;
constexpr uint32_t RCC_SYSCLK_Div8 = 0x000000A0u;
constexpr uint32_t RCC_SYSCLK_Div16 = 0x000000B0u;
constexpr uint32_t RCC_SYSCLK_Div64 = 0x000000C0u;
constexpr uint32_t RCC_SYSCLK_Div128 = 0x000000D0u;
constexpr uint32_t RCC_SYSCLK_Div256 = 0x000000E0u;
constexpr uint32_t RCC_SYSCLK_Div512 = 0x000000F0u;

// RCC_PCLK1Config and RCC_PCLK2Config
constexpr uint32_t RCC_HCLK_Div1 = 0x00000000u;
constexpr uint32_t RCC_HCLK_Div2 = 0x00000400u;
constexpr uint32_t RCC_HCLK_Div4 = 0x00000500u;
constexpr uint32_t RCC_HCLK_Div8 = 0x00000600u;
constexpr uint32_t RCC_HCLK_Div16 = 0x00000700u;

// Peripheral clock enable and reset bits
constexpr uint32_t RCC_AHBPeriph_DMA1 = 0x00000001u;
constexpr uint32_t RCC_AHBPeriph_SRAM = 0x00000004u;
constexpr uint32_t RCC_AHBPeriph_FLITF = 0x00000010u;
constexpr uint32_t RCC_AHBPeriph_CRC = 0x00000040u;

constexpr uint32_t RCC_APB1Periph_TIM2 = 0x00000001u;
constexpr uint32_t RCC_APB1Periph_TIM3 = 0x00000002u;
constexpr uint32_t RCC_APB1Periph_TIM4 = 0x00000004u;
constexpr uint32_t RCC_APB1Periph_WWDG = 0x00000800u;
constexpr uint32_t RCC_APB1Periph_SPI2 = 0x00004000u;
constexpr uint32_t RCC_APB1Periph_USART2 = 0x00020000u;
constexpr uint32_t RCC_APB1Periph_USART3 = 0x00040000u;
constexpr uint32_t RCC_APB1Periph_I2C1 = 0x00200000u;
constexpr uint32_t RCC_APB1Periph_I2C2 = 0x00400000u;
constexpr uint32_t RCC_APB1Periph_USB = 0x00800000u;
constexpr uint32_t RCC_APB1Periph_CAN1 = 0x02000000u;
constexpr uint32_t RCC_APB1Periph_BKP = 0x08000000u;
constexpr uint32_t RCC_APB1Periph_PWR = 0x10000000u;

constexpr uint32_t RCC_APB2Periph_AFIO = 0x00000001u;
constexpr uint32_t RCC_APB2Periph_GPIOA = 0x00000004u;
constexpr uint32_t RCC_APB2Periph_GPIOB = 0x00000008u;
constexpr uint32_t RCC_APB2Periph_GPIOC = 0x00000010u;
constexpr uint32_t RCC_APB2Periph_GPIOD = 0x00000020u;
constexpr uint32_t RCC_APB2Periph_GPIOE = 0x00000040u;
constexpr uint32_t RCC_APB2Periph_ADC1 = 0x00000200u;
constexpr uint32_t RCC_APB2Periph_ADC2 = 0x00000400u;
constexpr uint32_t RCC_APB2Periph_TIM1 = 0x00000800u;
constexpr uint32_t RCC_APB2Periph_SPI1 = 0x00001000u;
constexpr uint32_t RCC_APB2Periph_USART1 = 0x00004000u;

// RCC_GetFlagStatus: register (1 CR, 2 BDCR, 3 CSR) in bits 7:5, bit number in 4:0
constexpr uint8_t RCC_FLAG_HSIRDY = 0x21;
constexpr uint8_t RCC_FLAG_HSERDY = 0x31;
constexpr uint8_t RCC_FLAG_PLLRDY = 0x39;
constexpr uint8_t RCC_FLAG_LSERDY = 0x41;
constexpr uint8_t RCC_FLAG_LSIRDY = 0x61;
constexpr uint8_t RCC_FLAG_PINRST = 0x7A;
constexpr uint8_t RCC_FLAG_PORRST = 0x7B;
constexpr uint8_t RCC_FLAG_SFTRST = 0x7C;
constexpr uint8_t RCC_FLAG_IWDGRST = 0x7D;
constexpr uint8_t RCC_FLAG_WWDGRST = 0x7E;
constexpr uint8_t RCC_FLAG_LPWRRST = 0x7F;

void RCC_DeInit(void);
void RCC_HSEConfig(uint32_t RCC_HSE);
ErrorStatus RCC_WaitForHSEStartUp(void);
void RCC_PLLConfig(uint32_t RCC_PLLSource, uint32_t RCC_PLLMul);
void RCC_PLLCmd(FunctionalState NewState);
void RCC_SYSCLKConfig(uint32_t RCC_SYSCLKSource);
uint8_t RCC_GetSYSCLKSource(void);
void RCC_HCLKConfig(uint32_t RCC_SYSCLK);
void RCC_PCLK1Config(uint32_t RCC_HCLK);
void RCC_PCLK2Config(uint32_t RCC_HCLK);
void RCC_GetClocksFreq(RCC_ClocksTypeDef* RCC_Clocks);
void RCC_AHBPeriphClockCmd(uint32_t RCC_AHBPeriph, FunctionalState NewState);
void RCC_APB1PeriphClockCmd(uint32_t RCC_APB1Periph, FunctionalState NewState);
void RCC_APB2PeriphClockCmd(uint32_t RCC_APB2Periph, FunctionalState NewState);
void RCC_APB1PeriphResetCmd(uint32_t RCC_APB1Periph, FunctionalState NewState);
void RCC_APB2PeriphResetCmd(uint32_t RCC_APB2Periph, FunctionalState NewState);
void RCC_BackupResetCmd(FunctionalState NewState);
FlagStatus RCC_GetFlagStatus(uint8_t RCC_FLAG);

namespace stm32f1 {

// Bus clocks as the chip derives them from a CFGR value: the source from SWS (the
// switch the hardware has confirmed), then the PLL, AHB, APB and ADC dividers.
constexpr RCC_ClocksTypeDef rcc_clocks(uint32_t cfgr) {
  uint32_t sysclk = HSI_VALUE;
  switch (cfgr & RCC_CFGR_SWS) {
    case RCC_CFGR_SWS_HSE:
      sysclk = HSE_VALUE;
      break;
    case RCC_CFGR_SWS_PLL: {
      uint32_t mul = ((cfgr & RCC_CFGR_PLLMULL) >> 18) + 2;
      if (mul > 16) mul = 16;  // the last field value also means x16
      uint32_t in = HSI_VALUE / 2;
      if ((cfgr & RCC_CFGR_PLLSRC) != 0) in = (cfgr & RCC_CFGR_PLLXTPRE) != 0 ? HSE_VALUE / 2 : HSE_VALUE;
      sysclk = in * mul;
      break;
    }
    default:
      break;
  }
  constexpr uint8_t kAhbShift[16] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 3, 4, 6, 7, 8, 9};
  constexpr uint8_t kApbShift[8] = {0, 0, 0, 0, 1, 2, 3, 4};
  RCC_ClocksTypeDef c{};
  c.SYSCLK_Frequency = sysclk;
  c.HCLK_Frequency = sysclk >> kAhbShift[(cfgr & RCC_CFGR_HPRE) >> 4];
  c.PCLK1_Frequency = c.HCLK_Frequency >> kApbShift[(cfgr & RCC_CFGR_PPRE1) >> 8];
  c.PCLK2_Frequency = c.HCLK_Frequency >> kApbShift[(cfgr & RCC_CFGR_PPRE2) >> 11];
  c.ADCCLK_Frequency = c.PCLK2_Frequency / ((((cfgr & RCC_CFGR_ADCPRE) >> 14) + 1) * 2);
  return c;
}

}  // namespace stm32f1
