// Key debouncing and the change detection every key consumer uses.
#include <gtest/gtest.h>

#include <vector>

#include "keys.h"

namespace {

// What the key task publishes for a series of scans, one per 10 ms.
std::vector<E_KEYS> published(const std::vector<E_KEYS>& scans) {
  E_KEYS key_candidate = KEY_NULL;
  E_KEYS keys_press = KEY_NULL;
  std::vector<E_KEYS> out;
  for (E_KEYS reading : scans) {
    if (keys_debounce(&key_candidate, reading)) keys_press = reading;
    out.push_back(keys_press);
  }
  return out;
}

TEST(KeyDebounce, TwoEqualScansPublishAndASingleOneNever) {
  EXPECT_EQ(published({KEY_UP, KEY_UP, KEY_NULL, KEY_UP, KEY_NULL, KEY_NULL}),
            (std::vector<E_KEYS>{KEY_NULL, KEY_UP, KEY_UP, KEY_UP, KEY_UP, KEY_NULL}));
  EXPECT_EQ(published({KEY_STOP, KEY_DOWN, KEY_STOP, KEY_DOWN}), std::vector<E_KEYS>(4, KEY_NULL));
}

TEST(KeyChange, EachChangeOnceForEachMemory) {
  E_KEYS lcd = KEY_NULL;
  E_KEYS console = KEY_NULL;
  EXPECT_EQ(keyboard_change(&console, KEY_START), KEY_START);
  EXPECT_EQ(keyboard_change(&console, KEY_START), KEY_NULL);   // still held
  EXPECT_EQ(keyboard_change(&lcd, KEY_START), KEY_START);      // a memory of its own
  EXPECT_EQ(keyboard_change(&console, KEY_ENTER), KEY_ENTER);  // straight to another key
  EXPECT_EQ(keyboard_change(&console, 0x100u), KEY_NULL);      // release; only the low byte counts
  EXPECT_EQ(console, KEY_NULL);
  EXPECT_EQ(keyboard_change(&console, KEY_ENTER), KEY_ENTER);
}

}  // namespace
