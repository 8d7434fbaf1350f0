// Universal synchronous/asynchronous receiver-transmitters, used here as plain
// polled 8N1 serial lines.
#pragma once
#include <cstdint>

#include "stm32f10x.h"

struct USART_InitTypeDef {
  uint32_t USART_BaudRate;
  uint16_t USART_WordLength;
  uint16_t USART_StopBits;
  uint16_t USART_Parity;
  uint16_t USART_Mode;
  uint16_t USART_HardwareFlowControl;
};

constexpr uint16_t USART_WordLength_8b = 0x0000;
constexpr uint16_t USART_WordLength_9b = 0x1000;
constexpr uint16_t USART_StopBits_1 = 0x0000;
constexpr uint16_t USART_StopBits_0_5 = 0x1000;
constexpr uint16_t USART_StopBits_2 = 0x2000;
constexpr uint16_t USART_StopBits_1_5 = 0x3000;
constexpr uint16_t USART_Parity_No = 0x0000;
constexpr uint16_t USART_Parity_Even = 0x0400;
constexpr uint16_t USART_Parity_Odd = 0x0600;
constexpr uint16_t USART_Mode_Rx = 0x0004;
constexpr uint16_t USART_Mode_Tx = 0x0008;
constexpr uint16_t USART_HardwareFlowControl_None = 0x0000;
constexpr uint16_t USART_HardwareFlowControl_RTS = 0x0100;
constexpr uint16_t USART_HardwareFlowControl_CTS = 0x0200;
constexpr uint16_t USART_HardwareFlowControl_RTS_CTS = 0x0300;

constexpr uint16_t USART_FLAG_PE = 0x0001;
constexpr uint16_t USART_FLAG_FE = 0x0002;
constexpr uint16_t USART_FLAG_NE = 0x0004;
constexpr uint16_t USART_FLAG_ORE = 0x0008;
constexpr uint16_t USART_FLAG_IDLE = 0x0010;
constexpr uint16_t USART_FLAG_RXNE = 0x0020;
constexpr uint16_t USART_FLAG_TC = 0x0040;
constexpr uint16_t USART_FLAG_TXE = 0x0080;

// Programs the frame and the baud rate from the bus clock the line really runs
// on (PCLK2 for USART1, PCLK1 for the others).
void USART_Init(USART_TypeDef* USARTx, const USART_InitTypeDef* USART_InitStruct);
void USART_Cmd(USART_TypeDef* USARTx, FunctionalState NewState);
FlagStatus USART_GetFlagStatus(USART_TypeDef* USARTx, uint16_t USART_FLAG);
void USART_SendData(USART_TypeDef* USARTx, uint16_t Data);
uint16_t USART_ReceiveData(USART_TypeDef* USARTx);

namespace stm32f1 {

// BRR for a baud rate: the divider pclk / (16 x baud) as a 12.4 fixed-point value,
// rounded to the nearest sixteenth; a fraction that rounds up to 16 carries into
// the mantissa.
constexpr uint32_t usart_brr(uint32_t pclk, uint32_t baud) {
  if (baud == 0) return 0;
  // 25 pclk / 4 baud in 32 bits, so that the chip needs no 64-bit division:
  // with pclk = q baud + r and 25 q = 4 (25 (q >> 2) + 6 (q & 3)) + (q & 3), the
  // rest below stays under 28 baud.
  const uint32_t q = pclk / baud, r = pclk % baud;
  const uint32_t hundredths = 25 * (q >> 2) + 6 * (q & 3) + ((q & 3) * baud + 25 * r) / (4 * baud);
  const uint32_t mantissa = hundredths / 100;
  const uint32_t sixteenths = ((hundredths - mantissa * 100) * 16 + 50) / 100;
  return (mantissa << 4) + sixteenths;
}

}  // namespace stm32f1
