// The CRC calculation unit: CRC-32 with polynomial 0x04C11DB7 over 32-bit words,
// most significant bit first, no reflection and no final XOR (CRC-32/MPEG-2).
#pragma once
#include <cstdint>

#include "stm32f10x.h"

// Puts the data register back to 0xFFFFFFFF.
void CRC_ResetDR(void);
// Feeds one word; returns the new CRC.
uint32_t CRC_CalcCRC(uint32_t Data);
uint32_t CRC_GetCRC(void);
