#include "system_init.h"

#include "stm32f10x_flash.h"
#include "stm32f10x_nvic.h"
#include "stm32f10x_rcc.h"

uint32_t SystemCoreClock = 72000000;

bool clock_tree_setup(void) {
  RCC_DeInit();
  RCC_HSEConfig(RCC_HSE_ON);
  if (RCC_WaitForHSEStartUp() != SUCCESS) return false;

  // 72 MHz needs two wait states; the prefetch buffer hides them on straight code.
  FLASH_PrefetchBufferCmd(FLASH_PrefetchBuffer_Enable);
  FLASH_SetLatency(FLASH_Latency_2);
  RCC_HCLKConfig(RCC_SYSCLK_Div1);
  RCC_PCLK2Config(RCC_HCLK_Div1);
  RCC_PCLK1Config(RCC_HCLK_Div2);  // APB1 may not exceed 36 MHz
  RCC_PLLConfig(RCC_PLLSource_HSE_Div1, RCC_PLLMul_9);
  RCC_PLLCmd(ENABLE);
  while (RCC_GetFlagStatus(RCC_FLAG_PLLRDY) == RESET) {
  }
  RCC_SYSCLKConfig(RCC_SYSCLKSource_PLLCLK);
  while (RCC_GetSYSCLKSource() != RCC_CFGR_SWS_PLL) {
  }
  return true;
}

extern "C" void SystemInit(void) {
  (void)clock_tree_setup();
  NVIC_SetVectorTable(NVIC_VectTab_FLASH, 0);
}
