#include "keys.h"

#include "FreeRTOS.h"
#include "atomic.h"
#include "task.h"

bool keys_debounce(E_KEYS* key_candidate, E_KEYS reading) {
  if (reading == *key_candidate) return true;
  *key_candidate = reading;
  return false;
}

void vTaskKeys(void* /*pvParameters*/) {
  const portTickType xDelay = 10;
  E_KEYS key_candidate = KEY_NULL;
  for (;;) {
    const E_KEYS reading = keyboard_isPressed();
    // Stored again every scan while it holds; the store writes only on a change.
    if (keys_debounce(&key_candidate, reading)) AtomicSet(&keys_press, reading);
    vTaskDelay(xDelay);
  }
}
