// Backup data registers: ten 16-bit words in the battery-backed domain. Writes
// take effect only while backup access is enabled (PWR_BackupAccessCmd).
#pragma once
#include <cstdint>

#include "stm32f10x.h"

// Register offsets from the BKP base, as BKP_ReadBackupRegister takes them.
constexpr uint16_t BKP_DR1 = 0x0004;
constexpr uint16_t BKP_DR2 = 0x0008;
constexpr uint16_t BKP_DR3 = 0x000C;
constexpr uint16_t BKP_DR4 = 0x0010;
constexpr uint16_t BKP_DR5 = 0x0014;
constexpr uint16_t BKP_DR6 = 0x0018;
constexpr uint16_t BKP_DR7 = 0x001C;
constexpr uint16_t BKP_DR8 = 0x0020;
constexpr uint16_t BKP_DR9 = 0x0024;
constexpr uint16_t BKP_DR10 = 0x0028;

// Resets the whole backup domain: every data register reads 0 afterwards.
void BKP_DeInit(void);
void BKP_WriteBackupRegister(uint16_t BKP_DR, uint16_t Data);
uint16_t BKP_ReadBackupRegister(uint16_t BKP_DR);
