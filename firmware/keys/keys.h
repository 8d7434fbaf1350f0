// The key task: scans the matrix every 10 ms and publishes a reading in
// keys_press once two successive scans agree.
#pragma once
#include "keyboard.h"

// One debounce step. Returns true when `reading` equals the previous scan's and
// is to be published; otherwise it becomes the new *key_candidate.
bool keys_debounce(E_KEYS* key_candidate, E_KEYS reading);

void vTaskKeys(void* pvParameters);
