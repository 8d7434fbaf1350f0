// Four 16-bit values kept across resets in the battery-backed data registers,
// and a slot for a CRC over them. Guarded by xsBackup; for tasks only.
//
// Slot n lives in BKP_DR(n + 1). A value written keeps its low 16 bits. A bad
// slot prints "Fun:<name> ERROR! "back" parameter is wrong!", a busy mutex
// "Fun:<name> ERROR! xsBackup was busy very long time!".
#pragma once
#include <stdint.h>

enum EBACKUP : uint8_t { CRC_B = 0, ENG0 = 1, ENG1 = 2, ENG2 = 3, ENG3 = 4, END_B = 5 };

// 0 done; 255 bad slot or busy. CRC_B is an ordinary slot here.
uint8_t backup_set_num(EBACKUP back, uint32_t val);
// The slot's 16 bits, or -1 (all bits set) for a bad slot or when busy.
uint32_t backup_get_num(EBACKUP back);
// The same without the mutex, for callers that hold it.
uint32_t ibackup_get_num(EBACKUP back);
// CRC-32 (STM32 CRC unit) of ENG0..ENG3, each fed as one zero-extended word;
// 0 when busy. All four slots 0 give 0x552D22C8.
uint32_t backup_crc(void);
// 0 when CRC_B holds the low 16 bits of the CRC; 255 on mismatch or when busy.
// The argument is not used.
uint8_t backup_check(uint32_t crc);
// Resets the backup domain: every slot reads 0 afterwards.
void backup_reset(void);
