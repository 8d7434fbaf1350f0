#include "stm32f10x_usart.h"

#include "stm32f10x_rcc.h"

namespace {

constexpr uint32_t kCr1Frame = USART_CR1_M | USART_CR1_PCE | USART_CR1_PS | USART_CR1_TE | USART_CR1_RE;
constexpr uint32_t kCr3Flow = USART_CR3_RTSE | USART_CR3_CTSE;

}  // namespace

void USART_Init(USART_TypeDef* USARTx, const USART_InitTypeDef* USART_InitStruct) {
  const USART_InitTypeDef& s = *USART_InitStruct;
  stm32f1::set_field(USARTx->CR2, USART_CR2_STOP, s.USART_StopBits);
  stm32f1::set_field(USARTx->CR1, kCr1Frame, s.USART_WordLength | s.USART_Parity | s.USART_Mode);
  stm32f1::set_field(USARTx->CR3, kCr3Flow, s.USART_HardwareFlowControl);

  RCC_ClocksTypeDef clocks;
  RCC_GetClocksFreq(&clocks);
  const uint32_t pclk = USARTx == USART1 ? clocks.PCLK2_Frequency : clocks.PCLK1_Frequency;
  USARTx->BRR = stm32f1::usart_brr(pclk, s.USART_BaudRate);
}

void USART_Cmd(USART_TypeDef* USARTx, FunctionalState NewState) {
  stm32f1::set_bits(USARTx->CR1, USART_CR1_UE, NewState != DISABLE);
}

FlagStatus USART_GetFlagStatus(USART_TypeDef* USARTx, uint16_t USART_FLAG) {
  return (USARTx->SR & USART_FLAG) != 0 ? SET : RESET;
}

void USART_SendData(USART_TypeDef* USARTx, uint16_t Data) { USARTx->DR = Data & 0x01FFu; }

uint16_t USART_ReceiveData(USART_TypeDef* USARTx) { return static_cast<uint16_t>(USARTx->DR & 0x01FFu); }
