#include "stm32f10x_crc.h"

void CRC_ResetDR(void) { CRC->CR = CRC_CR_RESET; }

uint32_t CRC_CalcCRC(uint32_t Data) {
  CRC->DR = Data;
  return CRC->DR;
}

uint32_t CRC_GetCRC(void) { return CRC->DR; }
