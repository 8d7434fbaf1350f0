// Flash interface: wait states and the prefetch buffer, which the clock set-up
// must match to the system clock (2 wait states above 48 MHz).
#pragma once
#include <cstdint>

#include "stm32f10x.h"

constexpr uint32_t FLASH_Latency_0 = 0x00000000u;
constexpr uint32_t FLASH_Latency_1 = 0x00000001u;
constexpr uint32_t FLASH_Latency_2 = 0x00000002u;

constexpr uint32_t FLASH_PrefetchBuffer_Enable = 0x00000010u;
constexpr uint32_t FLASH_PrefetchBuffer_Disable = 0x00000000u;

void FLASH_SetLatency(uint32_t FLASH_Latency);
void FLASH_PrefetchBufferCmd(uint32_t FLASH_PrefetchBuffer);
