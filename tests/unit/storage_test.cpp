// The variable store, run from kernel tasks on the simulated board.
#include "storage.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "heap_info.h"
#include "kernel_board.h"
#include "main.h"
#include "semphr.h"
#include "task_runner.h"

namespace {

// Runs `body` as a task beside `others`, with the store's mutex made as main makes it.
void in_task(void (*body)(), const std::vector<pdTASK_CODE>& others = {}, double seconds = 2) {
  EXPECT_TRUE(test::run_in_task([] { xsStorage = xSemaphoreCreateMutex(); }, body, others, seconds))
      << "the test task did not finish";
}

// The names in list order.
std::string names() {
  std::string out;
  for (int i = 0; sData* d = storage_find_index(i); ++i) out += std::string(out.empty() ? "" : ",") + d->name;
  return out;
}

TEST(Storage, EmptyStore) {
  in_task([] {
    EXPECT_EQ(storage_find_index(0), nullptr);
    EXPECT_EQ(storage_find_name("x"), nullptr);
    EXPECT_EQ(storage_get_num("x"), -1);
    EXPECT_EQ(storage_get_str("x"), nullptr);
    EXPECT_EQ(storage_del("x"), 255);
    storage_delall();
    EXPECT_EQ(STORAGE, nullptr);
    storage_fun_inc("x");  // nothing to step, nothing made
    EXPECT_EQ(STORAGE, nullptr);
  });
  EXPECT_EQ(test::console_output(), "");
}

TEST(Storage, OrderOfFirstSettingAndDeletion) {
  in_task([] {
    const size_t heap_empty = xPortGetFreeHeapSize();
    EXPECT_EQ(storage_set_num("first", 1, E_NUM), 0);
    EXPECT_EQ(storage_set_str("second", "two"), 0);
    EXPECT_EQ(storage_set_num("third", 3, E_HEX), 0);
    EXPECT_EQ(storage_set_num("first", 10, E_ONOFF), 0);
    EXPECT_EQ(names(), "first,second,third");
    EXPECT_EQ(storage_find_index(-1), nullptr);
    EXPECT_EQ(storage_find_index(3), nullptr);
    EXPECT_EQ(storage_get_num("first"), 10);
    EXPECT_EQ(storage_find_name("first")->type, E_ONOFF);
    EXPECT_EQ(storage_get_num("First"), -1);  // exact names only

    EXPECT_EQ(storage_del("second"), 0);
    EXPECT_EQ(names(), "first,third");
    EXPECT_EQ(storage_find_index(2), nullptr);
    EXPECT_EQ(storage_del("first"), 0);  // the head
    EXPECT_EQ(storage_del("first"), 255);
    EXPECT_EQ(names(), "third");
    EXPECT_EQ(storage_set_str("fourth", "4"), 0);
    EXPECT_EQ(storage_del("fourth"), 0);  // the tail
    EXPECT_EQ(storage_set_num("fifth", 5, E_NUM), 0);
    EXPECT_EQ(names(), "third,fifth");

    storage_delall();
    EXPECT_EQ(STORAGE, nullptr);
    EXPECT_EQ(xPortGetFreeHeapSize(), heap_empty);  // names, texts and records all given back
    EXPECT_EQ(storage_set_num("again", 1, E_NUM), 0);
    EXPECT_EQ(names(), "again");
  });
}

TEST(Storage, TypeChangesInPlaceAndTextsAreOwned) {
  in_task([] {
    storage_set_num("a", 1, E_NUM);
    storage_set_num("v", 7, E_NUM);
    storage_set_num("z", 2, E_NUM);
    const size_t heap_numeric = xPortGetFreeHeapSize();

    char text[] = "hello";
    EXPECT_EQ(storage_set_str("v", text), 0);
    text[0] = 'j';  // the store keeps its own copy
    EXPECT_STREQ(storage_get_str("v"), "hello");
    EXPECT_EQ(storage_get_num("v"), -1);
    EXPECT_EQ(names(), "a,v,z");
    EXPECT_EQ(storage_set_str("v", storage_get_str("v")), 0);  // its own text, copied before the old goes
    EXPECT_STREQ(storage_get_str("v"), "hello");

    EXPECT_EQ(storage_set_num("v", 8, E_STATE), 0);
    EXPECT_EQ(storage_get_num("v"), 8);
    EXPECT_EQ(storage_get_str("v"), nullptr);
    EXPECT_EQ(xPortGetFreeHeapSize(), heap_numeric);  // the text was released

    EXPECT_EQ(storage_set_str("v", nullptr), 0);
    EXPECT_EQ(storage_find_name("v")->type, E_STRING);
    EXPECT_EQ(storage_get_str("v"), nullptr);
    EXPECT_EQ(storage_get_num("v"), -1);
    EXPECT_EQ(names(), "a,v,z");
    // A number may not pose as a text, which the store would free.
    EXPECT_EQ(storage_set_num("w", 5, E_STRING), 1);
    EXPECT_EQ(storage_find_name("w"), nullptr);
  });
  EXPECT_EQ(test::console_output(), "Fun:storage_set_num ERROR! \"type\" parameter is wrong!\r\n");
}

TEST(Storage, StepsStopAtTheBoundsByEqualityOnly) {
  in_task([] {
    EXPECT_EQ(storage_set_num_ex("var3", 0, E_NUM, 0, 10), 0);
    storage_fun_dec("var3");
    EXPECT_EQ(storage_get_num("var3"), 0);
    for (int i = 0; i < 10; ++i) storage_fun_inc("var3");
    EXPECT_EQ(storage_get_num("var3"), 10);
    storage_fun_inc("var3");
    EXPECT_EQ(storage_get_num("var3"), 10);
    storage_fun_dec("var3");
    EXPECT_EQ(storage_get_num("var3"), 9);

    // Outside the bounds the value keeps moving away.
    storage_set_num_ex("out", 20, E_HEX, 5, 10);
    storage_fun_inc("out");
    EXPECT_EQ(storage_get_num("out"), 21);
    storage_set_num_ex("out", 2, E_HEX, 5, 10);
    storage_fun_dec("out");
    EXPECT_EQ(storage_get_num("out"), 1);
    storage_set_num("out", -1, E_NUM);  // all bits set is not the 16-bit max
    storage_fun_inc("out");
    EXPECT_EQ(storage_get_num("out"), 0);

    // An ordinary set brings back 0..65535.
    storage_set_num("var3", 10, E_NUM);
    storage_fun_inc("var3");
    EXPECT_EQ(storage_get_num("var3"), 11);

    storage_set_num("st", 0, E_STATE);
    storage_fun_invert("st");
    EXPECT_EQ(storage_get_num("st"), 1);
    storage_fun_invert("st");
    EXPECT_EQ(storage_get_num("st"), 0);
    storage_set_num("st", 7, E_STATE);
    storage_fun_invert("st");
    EXPECT_EQ(storage_get_num("st"), 0);

    storage_set_str("text", "abc");
    storage_fun_inc("text");
    storage_fun_dec("text");
    storage_fun_invert("text");
    EXPECT_STREQ(storage_get_str("text"), "abc");
  });
}

// Allocation k of a setter refused: the store and the heap are as before.
TEST(Storage, NoMemoryLeavesEverythingAsItWas) {
  in_task([] {
    storage_set_num("n", 1, E_NUM);
    storage_set_str("s", "old");
    const size_t heap = xPortGetFreeHeapSize();
    for (unsigned long k = 0; k < 3; ++k) {  // each of text, record and name
      heap_refuse_after(k);
      EXPECT_EQ(storage_set_str("new", "text"), 1) << k;
      heap_refuse_after(~0ul);
      EXPECT_EQ(names(), "n,s") << k;
      EXPECT_EQ(xPortGetFreeHeapSize(), heap) << k;
    }
    for (unsigned long k = 0; k < 2; ++k) {  // record and name
      heap_refuse_after(k);
      EXPECT_EQ(storage_set_num_ex("new", 5, E_NUM, 0, 9), 1) << k;
      heap_refuse_after(~0ul);
      EXPECT_EQ(names(), "n,s") << k;
      EXPECT_EQ(xPortGetFreeHeapSize(), heap) << k;
    }
    heap_refuse_after(0);
    EXPECT_EQ(storage_set_str("s", "new"), 1);     // the copy fails: the old text stays
    EXPECT_EQ(storage_set_str("n", "new"), 1);     // and the number
    EXPECT_EQ(storage_set_num("s", 3, E_NUM), 0);  // needs no memory
    heap_refuse_after(~0ul);
    EXPECT_EQ(storage_get_num("n"), 1);
    EXPECT_EQ(storage_get_num("s"), 3);
  });
  const std::string msg = "Fun:storage_set_str ERROR! Out of memory!\r\n";
  const std::string num = "Fun:storage_set_num ERROR! Out of memory!\r\n";
  EXPECT_EQ(test::console_output(), msg + msg + msg + num + num + msg + msg);
}

// --- the mutex -----------------------------------------------------------------

void hold_store_1600_ticks(void*) {
  xSemaphoreTake(xsStorage, 0);
  vTaskDelay(1600);
  xSemaphoreGive(xsStorage);
  for (;;) vTaskDelay(1000);
}

TEST(Storage, BusyStoreReportsAndChangesNothing) {
  in_task(
      [] {
        vTaskDelay(1);  // the holder goes first
        const portTickType start = xTaskGetTickCount();
        EXPECT_EQ(storage_set_num("x", 1, E_NUM), 1);
        // 500 ticks of waiting, then the message at 115200 baud.
        EXPECT_GE(xTaskGetTickCount() - start, 500u);
        EXPECT_LT(xTaskGetTickCount() - start, 510u);
        EXPECT_EQ(storage_get_num("x"), -1);
        storage_fun_inc("x");
        vTaskDelay(200);  // the holder lets go
        EXPECT_EQ(STORAGE, nullptr);
        EXPECT_EQ(storage_set_num("x", 1, E_NUM), 0);
      },
      {hold_store_1600_ticks}, 3);
  EXPECT_EQ(test::console_output(),
            "Fun:storage_set_num ERROR! xsStorage was busy very long time!\r\n"
            "Fun:storage_get_num ERROR! xsStorage was busy very long time!\r\n"
            "Fun:storage_fun_inc ERROR! xsStorage was busy very long time!\r\n");
}

// Sets the counter while holding the store, as a setter does, while the test
// task is already waiting to step it.
void set_counter_under_the_lock(void*) {
  vTaskDelay(2);  // the counter exists
  xSemaphoreTake(xsStorage, 0);
  vTaskDelay(20);
  STORAGE->value = storage_num_value(100);
  xSemaphoreGive(xsStorage);
  for (;;) vTaskDelay(1000);
}

TEST(Storage, StepIsOneReadModifyWriteUnderTheLock) {
  in_task(
      [] {
        ASSERT_EQ(storage_set_num("counter", 0, E_NUM), 0);
        vTaskDelay(5);
        storage_fun_inc("counter");                  // waits for the other task
        EXPECT_EQ(storage_get_num("counter"), 101);  // not 1: the other write is kept
      },
      {set_counter_under_the_lock});
}

}  // namespace
