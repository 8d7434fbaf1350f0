#include "stm32f10x_pwr.h"

#include "stm32f10x_rcc.h"

void PWR_DeInit(void) {
  RCC_APB1PeriphResetCmd(RCC_APB1Periph_PWR, ENABLE);
  RCC_APB1PeriphResetCmd(RCC_APB1Periph_PWR, DISABLE);
}

void PWR_BackupAccessCmd(FunctionalState NewState) {
  stm32f1::set_bits(PWR->CR, PWR_CR_DBP, NewState != DISABLE);
}
