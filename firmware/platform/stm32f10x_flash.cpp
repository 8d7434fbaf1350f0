#include "stm32f10x_flash.h"

void FLASH_SetLatency(uint32_t FLASH_Latency) {
  stm32f1::set_field(FLASH->ACR, FLASH_ACR_LATENCY, FLASH_Latency);
}

void FLASH_PrefetchBufferCmd(uint32_t FLASH_PrefetchBuffer) {
  stm32f1::set_field(FLASH->ACR, FLASH_ACR_PRFTBE, FLASH_PrefetchBuffer);
}
