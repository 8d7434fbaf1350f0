// What `help` lists: the command words of this build, in their table order,
// eight to a line, each followed by one blank.
#pragma once
#include <cstring>
#include <string>

#include "console.h"

namespace help_text {

// Every command word the console knows of, in table order.
inline const char* const kOrder[] = {
    "help",       "info",       "clr",         "listt_ex", "listt",   "delt",    "led",     "backup_crc",
    "backup_set", "backup_get", "backup_list", "listv",    "var_set", "var_get", "var_del", "e3on",
    "e3off",      "e3acc",      "e3pid",       "e3target", "e3info",  "e3dir",   "e3pulse", "e3period",
    "keys",       "freq3",      "lcd_menu",    "lcd_str",  "aly"};

inline bool in_table(const char* name) {
  for (const sConsole* c = fConsole; c->name != nullptr; ++c)
    if (std::strcmp(c->name, name) == 0) return true;
  return false;
}

inline std::string listing() {
  std::string out;
  int n = 0;
  for (const char* name : kOrder) {
    if (!in_table(name)) continue;
    if (n != 0 && n % 8 == 0) out += "\r\n";
    out += name;
    out += ' ';
    ++n;
  }
  return out;
}

}  // namespace help_text
