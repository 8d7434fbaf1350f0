// Interrupt controller set-up: priority grouping, per-channel priority and enable,
// and the vector table's place.
#pragma once
#include <cstdint>

#include "stm32f10x.h"

// AIRCR PRIGROUP values; the chip implements the top four priority bits, split
// into pre-emption (group) and sub-priority bits.
constexpr uint32_t NVIC_PriorityGroup_0 = 0x700;  // 0 pre-emption bits, 4 sub-priority bits
constexpr uint32_t NVIC_PriorityGroup_1 = 0x600;  // 1 and 3
constexpr uint32_t NVIC_PriorityGroup_2 = 0x500;  // 2 and 2
constexpr uint32_t NVIC_PriorityGroup_3 = 0x400;  // 3 and 1
constexpr uint32_t NVIC_PriorityGroup_4 = 0x300;  // 4 and 0

constexpr uint32_t NVIC_VectTab_RAM = 0x20000000u;
constexpr uint32_t NVIC_VectTab_FLASH = 0x08000000u;

struct NVIC_InitTypeDef {
  uint8_t NVIC_IRQChannel;
  uint8_t NVIC_IRQChannelPreemptionPriority;
  uint8_t NVIC_IRQChannelSubPriority;
  FunctionalState NVIC_IRQChannelCmd;
};

void NVIC_PriorityGroupConfig(uint32_t NVIC_PriorityGroup);
// Enabling sets the channel's priority byte for the grouping currently in AIRCR,
// then enables it; disabling only disables it.
void NVIC_Init(const NVIC_InitTypeDef* NVIC_InitStruct);
void NVIC_SetVectorTable(uint32_t NVIC_VectTab, uint32_t Offset);

namespace stm32f1 {

// The priority byte NVIC_Init stores. Each value is cut to the bits its part of
// the grouping has by plain shifting: a pre-emption value too wide for its bits
// loses its high bits (6 under grouping 2 becomes 2, byte 0x80).
constexpr uint8_t nvic_priority_byte(uint32_t prigroup, uint8_t preemption, uint8_t sub) {
  uint32_t group = (prigroup & SCB_AIRCR_PRIGROUP) >> 8;
  if (group < 3) group = 3;  // with four priority bits, groupings 0-3 all mean 4 pre-emption bits
  const uint32_t pre_bits = 7 - group;
  const uint32_t sub_bits = 4 - pre_bits;
  const uint32_t value = (static_cast<uint32_t>(preemption) << sub_bits) | (sub & (0x0Fu >> pre_bits));
  return static_cast<uint8_t>(value << 4);
}

}  // namespace stm32f1
