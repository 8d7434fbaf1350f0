#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "commands.h"
#include "console.h"
#include "leds.h"
#include "main.h"

namespace {
constexpr unsigned kNamesPerLine = 8;
// A longer description would not fit into one cprintf with its heading.
constexpr size_t kMaxDescription = 79;

// atoi, with a value beyond int held at its limit as the board's C library does:
// atoi leaves that undefined, and a host with a 64-bit long would wrap it instead.
int decimal(const char* p) {
  while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
  const bool negative = *p == '-';
  if (*p == '+' || *p == '-') ++p;
  const uint32_t limit = negative ? 0x80000000u : 0x7FFFFFFFu;
  uint32_t n = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    const auto digit = static_cast<uint32_t>(*p - '0');
    n = n > (limit - digit) / 10 ? limit : n * 10 + digit;
  }
  return static_cast<int>(negative ? 0u - n : n);
}
}  // namespace

int help(char* str) {
  char buf[50];
  if (parser_of_word(str, 1, buf) != 0) {
    for (unsigned row = 0; fConsole[row].name != nullptr; ++row) {
      if (row != 0 && row % kNamesPerLine == 0) cprintf("\r\n");
      cprintf("%s ", fConsole[row].name);
    }
    return 0;
  }

  for (const sConsole* c = fConsole; c->name != nullptr; ++c) {
    if (strcmp(c->name, buf) != 0) continue;
    if (strlen(c->description) > kMaxDescription) {
      cprintf("Info is missing because very big");
    } else {
      cprintf("Command %s:\n%s", c->name, c->description);
    }
    return 0;
  }
  cprintf("Command %s not exist.", buf);
  return 1;
}

int listt_ex(char*) {
  cprintf("Command doesn't support");
  return 0;
}

int listt(char*) {
  for (const sTasks* row = fTasks; row->name != nullptr; ++row) {
    const char* name = reinterpret_cast<const char*>(*row->name);
    const unsigned priority = static_cast<unsigned>(row->priority);
    const unsigned stack = static_cast<unsigned>(row->stack_size);
    if (row->flags & TASK_RUNNING) {
      cprintf("%15s PR:0x%x STACK:0x%.4x FLAG:Run\r\n", name, priority, stack);
    } else {
      cprintf("%15s PR:0x%x STACK:0x%.4x FLAG:NotRun\r\n", name, priority, stack);
    }
  }
  return 0;
}

int delt(char* str) {
  char buf[50];
  if (parser_of_word(str, 1, buf) != 0) {
    cprintf("Parameter is empty.");
    return 0;
  }
  for (sTasks* row = fTasks; row->name != nullptr; ++row) {
    if (strcmp(reinterpret_cast<const char*>(*row->name), buf) != 0) continue;
    // A row never created holds no handle, and the kernel takes a null handle
    // for the caller: the console would delete itself.
    if (!(row->flags & TASK_RUNNING)) {
      cprintf("Task %s is not running.", buf);
      return 0;
    }
    // Cleared first: deleting the console's own task does not come back.
    row->flags = static_cast<uint8_t>(row->flags & 0x7F);
    vTaskDelete(row->handle);
    cprintf("delt complite handle:0x%x", static_cast<unsigned>(reinterpret_cast<uintptr_t>(row->handle)));
    return 0;
  }
  cprintf("Task %s not found.", buf);
  return 0;
}

int led(char* str) {
  char buf[50];
  unsigned char num = 0;
  unsigned char onoff = 0;

  if (parser_of_word(str, 1, buf) != 0) {
    cprintf("Parameter is empty.");
    return 1;
  }
  if (parser_of_flag(buf, 'n', buf) == 0) {
    num = static_cast<unsigned char>(catoi(buf));
  } else if (parser_of_flag(buf, 'f', buf) == 0) {
    if (strcmp(buf, "on") == 0) onoff = 1;
  } else {
    cprintf("Wrong parameter %s", buf);
    return 1;
  }

  if (parser_of_word(str, 2, buf) != 0) {
    cprintf("Parameter is empty.");
    return 1;
  }
  // The second word is read in decimal only.
  if (parser_of_flag(buf, 'n', buf) == 0) {
    num = static_cast<unsigned char>(decimal(buf));
  } else if (parser_of_flag(buf, 'f', buf) == 0) {
    if (strcmp(buf, "on") == 0) onoff = 1;
  } else {
    return 1;
  }

  if (num == GREEN_LED) {
    cprintf(onoff ? "Led GREEN = ON" : "Led GREEN = OFF");
  } else if (num == BLUE_LED) {
    cprintf(onoff ? "Led BLUE = ON" : "Led BLUE = OFF");
  }
  leds_control(static_cast<ELEDS>(num), onoff ? ON : OFF);
  return 0;
}
