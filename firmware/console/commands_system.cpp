#include <cstring>

#include "commands.h"
#include "console.h"

namespace {
constexpr unsigned kNamesPerLine = 8;
// A longer description would not fit into one cprintf with its heading.
constexpr size_t kMaxDescription = 79;
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
