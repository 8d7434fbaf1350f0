#include "stm32f10x_nvic.h"

void NVIC_PriorityGroupConfig(uint32_t NVIC_PriorityGroup) {
  SCB->AIRCR = SCB_AIRCR_VECTKEY | (NVIC_PriorityGroup & SCB_AIRCR_PRIGROUP);
}

void NVIC_Init(const NVIC_InitTypeDef* NVIC_InitStruct) {
  const NVIC_InitTypeDef& s = *NVIC_InitStruct;
  const uint32_t bit = 1u << (s.NVIC_IRQChannel & 0x1Fu);
  if (s.NVIC_IRQChannelCmd != DISABLE) {
    NVIC->IP[s.NVIC_IRQChannel] = stm32f1::nvic_priority_byte(SCB->AIRCR, s.NVIC_IRQChannelPreemptionPriority,
                                                              s.NVIC_IRQChannelSubPriority);
    NVIC->ISER[s.NVIC_IRQChannel >> 5] = bit;
  } else {
    NVIC->ICER[s.NVIC_IRQChannel >> 5] = bit;
  }
}

void NVIC_SetVectorTable(uint32_t NVIC_VectTab, uint32_t Offset) {
  SCB->VTOR = NVIC_VectTab | (Offset & SCB_VTOR_TBLOFF);
}
