// General-purpose I/O ports and the alternate-function remap.
#pragma once
#include <cstdint>

#include "stm32f10x.h"

constexpr uint16_t GPIO_Pin_0 = 0x0001;
constexpr uint16_t GPIO_Pin_1 = 0x0002;
constexpr uint16_t GPIO_Pin_2 = 0x0004;
constexpr uint16_t GPIO_Pin_3 = 0x0008;
constexpr uint16_t GPIO_Pin_4 = 0x0010;
constexpr uint16_t GPIO_Pin_5 = 0x0020;
constexpr uint16_t GPIO_Pin_6 = 0x0040;
constexpr uint16_t GPIO_Pin_7 = 0x0080;
constexpr uint16_t GPIO_Pin_8 = 0x0100;
constexpr uint16_t GPIO_Pin_9 = 0x0200;
constexpr uint16_t GPIO_Pin_10 = 0x0400;
constexpr uint16_t GPIO_Pin_11 = 0x0800;
constexpr uint16_t GPIO_Pin_12 = 0x1000;
constexpr uint16_t GPIO_Pin_13 = 0x2000;
constexpr uint16_t GPIO_Pin_14 = 0x4000;
constexpr uint16_t GPIO_Pin_15 = 0x8000;
constexpr uint16_t GPIO_Pin_All = 0xFFFF;

typedef enum { GPIO_Speed_10MHz = 1, GPIO_Speed_2MHz, GPIO_Speed_50MHz } GPIOSpeed_TypeDef;

// Low nibble: the CNF bits as they go into the port configuration register; bit 4:
// an output (the speed becomes the MODE bits); bits 5 and 6: pull-down or pull-up,
// chosen through the output latch.
typedef enum {
  GPIO_Mode_AIN = 0x00,
  GPIO_Mode_IN_FLOATING = 0x04,
  GPIO_Mode_IPD = 0x28,
  GPIO_Mode_IPU = 0x48,
  GPIO_Mode_Out_OD = 0x14,
  GPIO_Mode_Out_PP = 0x10,
  GPIO_Mode_AF_OD = 0x1C,
  GPIO_Mode_AF_PP = 0x18
} GPIOMode_TypeDef;

typedef enum { Bit_RESET = 0, Bit_SET } BitAction;

struct GPIO_InitTypeDef {
  uint16_t GPIO_Pin;
  GPIOSpeed_TypeDef GPIO_Speed;
  GPIOMode_TypeDef GPIO_Mode;
};

// GPIO_PinRemapConfig: bits 15:0 the value, bit 20 a two-bit field whose position
// is in bits 19:16, bits 21:20 both set for the debug port (SWJ_CFG) field, bit 21
// alone for the upper half of MAPR.
constexpr uint32_t GPIO_Remap_SPI1 = 0x00000001u;
constexpr uint32_t GPIO_Remap_I2C1 = 0x00000002u;
constexpr uint32_t GPIO_Remap_USART1 = 0x00000004u;
constexpr uint32_t GPIO_Remap_USART2 = 0x00000008u;
constexpr uint32_t GPIO_PartialRemap_USART3 = 0x00140010u;
constexpr uint32_t GPIO_FullRemap_USART3 = 0x00140030u;
constexpr uint32_t GPIO_PartialRemap_TIM3 = 0x001A0800u;
constexpr uint32_t GPIO_FullRemap_TIM3 = 0x001A0C00u;
constexpr uint32_t GPIO_Remap_TIM4 = 0x00001000u;
constexpr uint32_t GPIO_Remap_PD01 = 0x00008000u;
constexpr uint32_t GPIO_Remap_SWJ_NoJTRST = 0x00300100u;
constexpr uint32_t GPIO_Remap_SWJ_JTAGDisable = 0x00300200u;
constexpr uint32_t GPIO_Remap_SWJ_Disable = 0x00300400u;

void GPIO_Init(GPIO_TypeDef* GPIOx, const GPIO_InitTypeDef* GPIO_InitStruct);
void GPIO_StructInit(GPIO_InitTypeDef* GPIO_InitStruct);
uint8_t GPIO_ReadInputDataBit(GPIO_TypeDef* GPIOx, uint16_t GPIO_Pin);
uint16_t GPIO_ReadInputData(GPIO_TypeDef* GPIOx);
uint8_t GPIO_ReadOutputDataBit(GPIO_TypeDef* GPIOx, uint16_t GPIO_Pin);
uint16_t GPIO_ReadOutputData(GPIO_TypeDef* GPIOx);
void GPIO_SetBits(GPIO_TypeDef* GPIOx, uint16_t GPIO_Pin);
void GPIO_ResetBits(GPIO_TypeDef* GPIOx, uint16_t GPIO_Pin);
void GPIO_WriteBit(GPIO_TypeDef* GPIOx, uint16_t GPIO_Pin, BitAction BitVal);
void GPIO_Write(GPIO_TypeDef* GPIOx, uint16_t PortVal);
void GPIO_PinRemapConfig(uint32_t GPIO_Remap, FunctionalState NewState);

namespace stm32f1 {

// The 4-bit CNF/MODE nibble of one pin; the speed counts for outputs only.
constexpr uint32_t gpio_nibble(GPIOMode_TypeDef mode, GPIOSpeed_TypeDef speed) {
  uint32_t nibble = static_cast<uint32_t>(mode) & 0x0Fu;
  if ((static_cast<uint32_t>(mode) & 0x10u) != 0) nibble |= static_cast<uint32_t>(speed) & 0x3u;
  return nibble;
}

// A port configuration register (CRL for pins 0-7, CRH for 8-15) with the nibbles
// of the pins in `pins8` (bit n: pin n of that half) replaced by `nibble`.
constexpr uint32_t gpio_cr_with(uint32_t cr, uint32_t pins8, uint32_t nibble) {
  for (uint32_t pin = 0; pin < 8; ++pin) {
    if ((pins8 >> pin) & 1u) cr = (cr & ~(0xFu << (pin * 4))) | ((nibble & 0xFu) << (pin * 4));
  }
  return cr;
}

// MAPR after a remap request. SWJ_CFG always reads 0, so writing back what was read
// would re-enable the debug port: every other remap writes the 0b111 the chip
// ignores there.
constexpr uint32_t afio_mapr_with(uint32_t mapr, uint32_t remap, bool enable) {
  const uint32_t shift = (remap & 0x00200000u) != 0 ? 16u : 0u;
  const uint32_t value = (remap & 0xFFFFu) << shift;
  if ((remap & 0x00300000u) == 0x00300000u) {
    mapr &= ~AFIO_MAPR_SWJ_CFG;
  } else {
    if ((remap & 0x00100000u) != 0) {
      mapr &= ~(0x3u << ((remap >> 16) & 0xFu));
    } else {
      mapr &= ~value;
    }
    mapr |= AFIO_MAPR_SWJ_CFG;
  }
  if (enable) mapr |= value;
  return mapr;
}

}  // namespace stm32f1
