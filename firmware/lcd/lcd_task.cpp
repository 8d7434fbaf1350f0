#include "lcd_task.h"

#include <stdlib.h>
#include <string.h>

#include "FreeRTOS.h"
#include "console.h"
#include "core_cm3.h"
#include "lcd16_4_4bit.h"
#include "refstorage.h"
#include "storage.h"
#include "task.h"

namespace {

// Binding names of KEY_UP to KEY_TIME, in this order.
constexpr const char* kKeyNames[] = {"up", "do", "es", "en", "st", "sp", "tm"};

// What this task last saw of keys_press; other consumers keep their own.
E_KEYS button = KEY_NULL;

// The action of the first binding of the current screen that names `key`; A_NULL
// and no argument when there is none.
E_ACTION action_for(E_KEYS key, char** action_str) {
  *action_str = nullptr;
  if (LCD_CURRENT == nullptr) return A_NULL;
  for (uint8_t key_num = 0;; ++key_num) {
    char* key_str = lcd_parser_tokens_c(LCD_CURRENT, '#', key_num);
    if (key_str == nullptr) return A_NULL;
    const auto key_name_len = static_cast<uint8_t>(lcd_parser_len(key_str, ':'));
    auto* key_name = static_cast<char*>(calloc(key_name_len + 1u, 1));
    bool found = false;
    E_ACTION action = A_NULL;
    if (key_name != nullptr) {
      strncat(key_name, key_str, key_name_len);
      for (unsigned i = 0; i < sizeof kKeyNames / sizeof kKeyNames[0]; ++i) {
        if (strcmp(key_name, kKeyNames[i]) != 0) continue;
        if (i + 1 == static_cast<unsigned>(key)) {
          action = lcd_action_for_key_c(key_str, action_str);
          found = true;
        }
        break;
      }
    }
    free(key_name);
    free(key_str);
    if (found) return action;
  }
}

void run_action(E_ACTION action, const char* action_str) {
  switch (action) {
    case A_LCD:
      lcd_print_menu(action_str);
      break;
    case A_INC:
      storage_fun_inc(action_str);
      lcd_refresh_menu();
      break;
    case A_DEC:
      storage_fun_dec(action_str);
      lcd_refresh_menu();
      break;
    case A_INVERT:
      storage_fun_invert(action_str);
      lcd_refresh_menu();
      break;
    default:
      break;
  }
}

}  // namespace

E_ACTION lcd_action_for_key_c(const char* key, char** value) {
  *value = nullptr;
  char* number = lcd_parser_tokens_c(key, ':', 0);
  const char* argument = lcd_parser_after_tokens(key, ':', 1);
  if (number == nullptr || argument == nullptr) {
    free(number);
    return A_NULL;
  }
  const auto action = static_cast<E_ACTION>(static_cast<uint8_t>(catoi(number)));
  free(number);
  *value = strdup(argument);
  return *value == nullptr ? A_NULL : action;
}

void lcd_delay(unsigned long nCount) {
  volatile unsigned long count = nCount;
  cpu_count_down(count);
}

void lcd_udelay(uint32_t us) {
  for (uint32_t i = 0; i < us; ++i) lcd_delay(72);
}

void lcd_mdelay(uint32_t ms) { vTaskDelay(ms); }

void vTaskLcd(void* /*pvParameters*/) {
  const portTickType xDelay = 50;
  lcd16_4_config(lcd_udelay, lcd_mdelay);
  lcd16_4_init();
  lcd16_4_clear();
  for (;;) {
    const auto state = static_cast<uint8_t>(storage_get_num("sys_st"));
    {
      // The bindings are read from the current template, which the console may
      // replace: the whole cycle holds the display.
      LcdLock lock;
      if (!lock.busy()) {
        if (LCD_CURRENT != nullptr) {
          lcd_print_info(LCD_CURRENT);
        } else {
          lcd_print_menu(state == ST_TEST ? "TestMode" : "WorkMode");
        }
        const E_KEYS key = keyboard_isLastUp(&button);
        if (key != KEY_NULL) {
          char* action_str = nullptr;
          const E_ACTION action = action_for(key, &action_str);
          run_action(action, action_str);
          free(action_str);
        }
      }
    }
    vTaskDelay(xDelay);
  }
}
