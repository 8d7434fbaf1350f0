#include "refstorage.h"

#include "FreeRTOS.h"
#include "storage.h"
#include "task.h"

void vTaskRefStorage(void* /*pvParameters*/) {
  for (;;) {
    storage_delall();
    storage_set_num("sys_st", ST_TEST, E_STATE);
    storage_set_str("lcd_info", nullptr);
    storage_set_str("var1", "Hello");
    storage_set_num("var4", 1234, E_HEX);
    storage_set_num_ex("var3", 0, E_NUM, 0, 10);
    vTaskSuspend(nullptr);
  }
}
