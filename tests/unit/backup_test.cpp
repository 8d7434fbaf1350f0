// The backup register store, run from kernel tasks on the simulated board.
#include "backup.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <vector>

#include "kernel_board.h"
#include "main.h"
#include "semphr.h"
#include "task_runner.h"

namespace {

// Runs `body` as a task beside `others`, with the mutex made as main makes it.
void in_task(void (*body)(), const std::vector<pdTASK_CODE>& others = {}, double seconds = 1) {
  EXPECT_TRUE(test::run_in_task([] { xsBackup = xSemaphoreCreateMutex(); }, body, others, seconds))
      << "the test task did not finish";
}

// CRC-32/MPEG-2 of the four words as 16 bytes, most significant byte first.
uint32_t crc_of(std::initializer_list<uint32_t> words) {
  uint32_t crc = 0xFFFFFFFFu;
  for (uint32_t word : words) {
    for (int shift = 24; shift >= 0; shift -= 8) {
      crc ^= ((word >> shift) & 0xFFu) << 24;
      for (int bit = 0; bit < 8; ++bit) crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
    }
  }
  return crc;
}

TEST(Backup, CrcCoversTheFourValueSlotsOnly) {
  in_task([] {
    EXPECT_EQ(backup_crc(), 0x552D22C8u);
    backup_set_num(ENG0, 1);
    backup_set_num(ENG2, 0xABCD);
    const uint32_t crc = backup_crc();
    EXPECT_EQ(crc, crc_of({1, 0, 0xABCD, 0}));
    backup_set_num(CRC_B, 0x7777);
    EXPECT_EQ(backup_crc(), crc);
    backup_set_num(ENG3, 1);
    EXPECT_EQ(backup_crc(), crc_of({1, 0, 0xABCD, 1}));
  });
}

TEST(Backup, CheckComparesTheLowHalfAndResetClears) {
  in_task([] {
    backup_set_num(ENG1, 42);
    const uint32_t crc = backup_crc();
    EXPECT_EQ(backup_check(0), 255);
    backup_set_num(CRC_B, crc);  // only the low 16 bits fit
    EXPECT_EQ(backup_check(0), 0);
    EXPECT_EQ(backup_check(crc), 0);  // the argument plays no part
    backup_set_num(ENG2, 1);
    EXPECT_EQ(backup_check(crc), 255);

    backup_reset();
    for (uint8_t slot = CRC_B; slot < END_B; ++slot)
      EXPECT_EQ(backup_get_num(static_cast<EBACKUP>(slot)), 0u);
    EXPECT_EQ(backup_crc(), 0x552D22C8u);
    EXPECT_EQ(backup_check(0), 255);        // CRC_B reads 0
    EXPECT_EQ(backup_set_num(ENG0, 9), 0);  // writable again after the reset
    EXPECT_EQ(backup_get_num(ENG0), 9u);
  });
}

void hold_backup_1100_ticks(void*) {
  xSemaphoreTake(xsBackup, 0);
  vTaskDelay(1100);
  xSemaphoreGive(xsBackup);
  for (;;) vTaskDelay(1000);
}

TEST(Backup, BusyMutexReportsAndTouchesNothing) {
  in_task(
      [] {
        vTaskDelay(1);  // the holder goes first
        EXPECT_EQ(backup_set_num(ENG0, 5), 255);
        EXPECT_EQ(backup_crc(), 0u);
        vTaskDelay(200);
        EXPECT_EQ(backup_get_num(ENG0), 0u);
      },
      {hold_backup_1100_ticks}, 2);
  EXPECT_EQ(test::console_output(),
            "Fun:backup_set_num ERROR! xsBackup was busy very long time!\r\n"
            "Fun:backup_crc ERROR! xsBackup was busy very long time!\r\n");
}

}  // namespace
