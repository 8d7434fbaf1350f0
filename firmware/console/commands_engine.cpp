// Motor commands, and the commands that watch the keys.
#include <stdint.h>
#include <string.h>

#include "FreeRTOS.h"
#include "acceleration.h"
#include "atomic.h"
#include "commands.h"
#include "console.h"
#include "engine.h"
#include "keyboard.h"
#include "task.h"

namespace {

constexpr unsigned kWord = 50;

// The last key state the console has seen; keys, freq3 and aly share it, so a
// key seen by one of them counts as seen for the others.
E_KEYS button = KEY_NULL;

// Word 1 as a number; complains when there is none.
bool number_argument(char* str, int* value, char* word) {
  if (parser_of_word(str, 1, word) != 0) {
    cprintf("It is not enough parameters");
    return false;
  }
  *value = catoi(word);
  return true;
}

bool number_argument(char* str, int* value) {
  char buf[kWord];
  return number_argument(str, value, buf);
}

}  // namespace

int console_engine3_on(char* /*str*/) {
  engine3_on();
  cprintf("Engine3 turn on.");
  return 0;
}

int console_engine3_off(char* /*str*/) {
  engine3_off();
  cprintf("Engine3 turn off.");
  return 0;
}

int console_engine3_acc(char* str) {
  char buf[kWord];
  char buf_val[kWord];
  uint8_t type = 0;
  uint32_t min = 1000;
  uint32_t max = 400;
  uint32_t time = 10000;

  // Flags and the plain number in any order; a later word wins.
  for (uint8_t number_space = 1; parser_of_word(str, number_space, buf) == 0; ++number_space) {
    if (parser_of_flag(buf, 't', buf_val) == 0) {
      type = static_cast<uint8_t>(catoi(buf_val));
    } else if (parser_of_flag(buf, 'i', buf_val) == 0) {
      min = static_cast<uint32_t>(catoi(buf_val));
    } else if (parser_of_flag(buf, 'o', buf_val) == 0) {
      max = static_cast<uint32_t>(catoi(buf_val));
    } else {
      time = static_cast<uint32_t>(catoi(buf));
    }
  }
  cprintf("Engine3 calc: type=%d min=%d max=%d time=%d\n", type, static_cast<int>(min), static_cast<int>(max),
          static_cast<int>(time));
  if (engine3_call_accelerate(static_cast<ACC_type>(type), static_cast<int32_t>(min),
                              static_cast<int32_t>(max), time) != 0) {
    cprintf("Error.\r\n");
  } else {
    cprintf("OK.\r\n");
  }
  return 0;
}

int console_engine3_pid(char* str) {
  char buf[kWord];
  char buf_val[kWord];
  uint8_t flag = 1;
  uint16_t target = 1000;
  uint16_t Kp = 37;
  uint16_t Ki = 20;
  uint16_t Kd = 8;

  for (uint8_t number_space = 1; parser_of_word(str, number_space, buf) == 0; ++number_space) {
    if (parser_of_flag(buf, 'p', buf_val) == 0) {
      Kp = static_cast<uint16_t>(catoi(buf_val));
    } else if (parser_of_flag(buf, 'i', buf_val) == 0) {
      Ki = static_cast<uint16_t>(catoi(buf_val));
    } else if (parser_of_flag(buf, 'd', buf_val) == 0) {
      Kd = static_cast<uint16_t>(catoi(buf_val));
    } else if (parser_of_flag(buf, 'f', buf_val) == 0) {
      flag = static_cast<uint8_t>(catoi(buf_val));
    } else {
      target = static_cast<uint16_t>(catoi(buf));
    }
  }
  // A target above 32767 arrives negative, as the regulator's word holds it.
  (void)engine3_pid(static_cast<int8_t>(flag), static_cast<int16_t>(target), static_cast<int16_t>(Kp),
                    static_cast<int16_t>(Ki), Kd);
  return 0;
}

int console_engine3_target(char* str) {
  int value;
  if (!number_argument(str, &value)) return 1;
  AtomicSet(&engine3_pid_target, static_cast<uint32_t>(value));
  cprintf("OK.");
  return 0;
}

int console_engine3_info(char* /*str*/) {
  cprintf("Engine3 setup:\r\n");
  cprintf("pulse: %d\r\n", engine3_get_pulse());
  cprintf("frequency: %d\r\n", static_cast<int>(engine3_get_freq()));
  cprintf("period: %d\r\n", engine3_get_period());
  cprintf("direction: %d\r\n", engine3_get_dir());
  return 0;
}

int console_engine3_dir(char* str) {
  int value;
  if (!number_argument(str, &value)) return 1;
  engine3_change_dir(static_cast<uint8_t>(value));
  cprintf("Engine3 change direction=%d.", value);
  return 0;
}

int console_engine3_pulse(char* str) {
  int value;
  if (!number_argument(str, &value)) return 1;
  engine3_set_pulse(static_cast<uint16_t>(value));
  cprintf("Engine3 pulse changed.");
  return 0;
}

int console_engine3_period(char* str) {
  char buf[kWord];
  int value;
  if (!number_argument(str, &value, buf)) return 1;
  // A null auto-reload blocks TIM3: its interrupt, which applies every later
  // period, would never run again.
  if (static_cast<uint16_t>(value) == 0) {
    cprintf("Wrong parameter %s", buf);
    return 1;
  }
  engine3_set_period(static_cast<uint16_t>(value));
  cprintf("Engine3 period changed.");
  return 0;
}

int console_keys_press(char* /*str*/) {
  static const char* const kNames[] = {nullptr, "UP", "DOWN", "ESC", "ENTER", "START", "STOP"};
  for (;;) {
    const E_KEYS key = keyboard_isLastUp(&button);
    if (key >= KEY_UP && key <= KEY_STOP)
      cprintf("Key %s(%d) is pressed.\r\n", kNames[key], static_cast<int>(key));
    if (key == KEY_STOP) return 0;
    vTaskDelay(100);
  }
}

int console_freq3(char* /*str*/) {
  for (;;) {
    cprintf("Freq3 interval= %d\r\n", static_cast<int>(AtomicFetchAndAdd(&encoder3_interval, 0)));
    // Only a STOP held at this moment counts.
    if (keyboard_isLastUp(&button) == KEY_STOP) return 0;
    vTaskDelay(1000);
  }
}

int console_aly(char* /*str*/) {
  const uint32_t time_delay = 9;
  char pulse_buf[32];
  char empty[] = "";
  for (;;) {
    const E_KEYS key = keyboard_isLastUp(&button);
    if (key == KEY_START) {
      console_engine3_on(empty);
      console_engine3_acc(empty);
    } else if (key == KEY_STOP) {
      // The way back down: from 400 to 1000 with the other defaults.
      strcpy(pulse_buf, "e3acc -i=400 -o=1000\r\n");
      console_engine3_acc(pulse_buf);
    } else if (key == KEY_ENTER) {
      console_engine3_pid(empty);
    }
    const int encode3 = static_cast<int>(AtomicFetchAndAdd(&encoder3_interval, 0));
    const int pulse3 = static_cast<int>(AtomicFetchAndAdd(&engine3_pulse, 0));
    cprintf("%.4d,%.4d\n\r", encode3, pulse3);
    vTaskDelay(time_delay);
  }
}
