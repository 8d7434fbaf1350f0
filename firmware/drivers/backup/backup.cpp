#include "backup.h"

#include "console.h"
#include "main.h"
#include "mutex_guard.h"
#include "stm32f10x_bkp.h"
#include "stm32f10x_crc.h"

namespace {

constexpr portTickType kWait = 500;
constexpr uint32_t kFailed = 0xFFFFFFFFu;

void busy(const char* fun) { cprintf("Fun:%s ERROR! xsBackup was busy very long time!\r\n", fun); }
void bad_slot(const char* fun) { cprintf("Fun:%s ERROR! \"back\" parameter is wrong!\r\n", fun); }

uint16_t register_of(EBACKUP back) { return static_cast<uint16_t>(BKP_DR1 + 4 * back); }

// The unit is shared: callers hold xsBackup.
uint32_t crc_of_slots() {
  CRC_ResetDR();
  uint32_t crc = 0;
  for (uint8_t slot = ENG0; slot <= ENG3; ++slot)
    crc = CRC_CalcCRC(ibackup_get_num(static_cast<EBACKUP>(slot)));
  return crc;
}

}  // namespace

uint8_t backup_set_num(EBACKUP back, uint32_t val) {
  MutexGuard lock(xsBackup, kWait);
  if (!lock.held()) {
    busy("backup_set_num");
    return 255;
  }
  if (back >= END_B) {
    bad_slot("backup_set_num");
    return 255;
  }
  BKP_WriteBackupRegister(register_of(back), static_cast<uint16_t>(val));
  return 0;
}

uint32_t ibackup_get_num(EBACKUP back) {
  if (back >= END_B) {
    bad_slot("ibackup_get_num");
    return kFailed;
  }
  return BKP_ReadBackupRegister(register_of(back));
}

uint32_t backup_get_num(EBACKUP back) {
  MutexGuard lock(xsBackup, kWait);
  if (!lock.held()) {
    busy("backup_get_num");
    return kFailed;
  }
  return ibackup_get_num(back);
}

uint32_t backup_crc(void) {
  MutexGuard lock(xsBackup, kWait);
  if (!lock.held()) {
    busy("backup_crc");
    return 0;
  }
  return crc_of_slots();
}

uint8_t backup_check(uint32_t /*crc*/) {
  MutexGuard lock(xsBackup, kWait);
  if (!lock.held()) {
    busy("backup_check");
    return 255;
  }
  // The CRC slot is a 16-bit register: only the CRC's low half can be kept there.
  const uint32_t crc = crc_of_slots();
  return (crc & 0xFFFFu) == ibackup_get_num(CRC_B) ? 0 : 255;
}

void backup_reset(void) {
  MutexGuard lock(xsBackup, kWait);
  if (!lock.held()) {
    busy("backup_reset");
    return;
  }
  BKP_DeInit();
}
