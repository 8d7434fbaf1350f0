#include "stm32f10x_gpio.h"

void GPIO_Init(GPIO_TypeDef* GPIOx, const GPIO_InitTypeDef* GPIO_InitStruct) {
  const uint32_t pins = GPIO_InitStruct->GPIO_Pin;
  const uint32_t nibble = stm32f1::gpio_nibble(GPIO_InitStruct->GPIO_Mode, GPIO_InitStruct->GPIO_Speed);
  // The pull direction is the output latch: set it before the pin turns into a
  // pulled input so that it never pulls the wrong way.
  if (GPIO_InitStruct->GPIO_Mode == GPIO_Mode_IPU) GPIOx->BSRR = pins;
  if (GPIO_InitStruct->GPIO_Mode == GPIO_Mode_IPD) GPIOx->BRR = pins;
  if ((pins & 0x00FFu) != 0) GPIOx->CRL = stm32f1::gpio_cr_with(GPIOx->CRL, pins & 0xFFu, nibble);
  if ((pins & 0xFF00u) != 0) GPIOx->CRH = stm32f1::gpio_cr_with(GPIOx->CRH, pins >> 8, nibble);
}

void GPIO_StructInit(GPIO_InitTypeDef* GPIO_InitStruct) {
  GPIO_InitStruct->GPIO_Pin = GPIO_Pin_All;
  GPIO_InitStruct->GPIO_Speed = GPIO_Speed_2MHz;
  GPIO_InitStruct->GPIO_Mode = GPIO_Mode_IN_FLOATING;
}

uint8_t GPIO_ReadInputDataBit(GPIO_TypeDef* GPIOx, uint16_t GPIO_Pin) {
  return (GPIOx->IDR & GPIO_Pin) != 0 ? Bit_SET : Bit_RESET;
}

uint16_t GPIO_ReadInputData(GPIO_TypeDef* GPIOx) { return static_cast<uint16_t>(GPIOx->IDR); }

uint8_t GPIO_ReadOutputDataBit(GPIO_TypeDef* GPIOx, uint16_t GPIO_Pin) {
  return (GPIOx->ODR & GPIO_Pin) != 0 ? Bit_SET : Bit_RESET;
}

uint16_t GPIO_ReadOutputData(GPIO_TypeDef* GPIOx) { return static_cast<uint16_t>(GPIOx->ODR); }

void GPIO_SetBits(GPIO_TypeDef* GPIOx, uint16_t GPIO_Pin) { GPIOx->BSRR = GPIO_Pin; }

void GPIO_ResetBits(GPIO_TypeDef* GPIOx, uint16_t GPIO_Pin) { GPIOx->BRR = GPIO_Pin; }

void GPIO_WriteBit(GPIO_TypeDef* GPIOx, uint16_t GPIO_Pin, BitAction BitVal) {
  if (BitVal != Bit_RESET) {
    GPIOx->BSRR = GPIO_Pin;
  } else {
    GPIOx->BRR = GPIO_Pin;
  }
}

void GPIO_Write(GPIO_TypeDef* GPIOx, uint16_t PortVal) { GPIOx->ODR = PortVal; }

void GPIO_PinRemapConfig(uint32_t GPIO_Remap, FunctionalState NewState) {
  AFIO->MAPR = stm32f1::afio_mapr_with(AFIO->MAPR, GPIO_Remap, NewState != DISABLE);
}
