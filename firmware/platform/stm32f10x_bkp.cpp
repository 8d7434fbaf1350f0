#include "stm32f10x_bkp.h"

#include "stm32f10x_rcc.h"

namespace {

reg32_t& data_register(uint16_t offset) { return *TARVIK_PERIPH(reg32_t, BKP_BASE + offset); }

}  // namespace

void BKP_DeInit(void) {
  RCC_BackupResetCmd(ENABLE);
  RCC_BackupResetCmd(DISABLE);
}

void BKP_WriteBackupRegister(uint16_t BKP_DR, uint16_t Data) { data_register(BKP_DR) = Data; }

uint16_t BKP_ReadBackupRegister(uint16_t BKP_DR) { return static_cast<uint16_t>(data_register(BKP_DR)); }
