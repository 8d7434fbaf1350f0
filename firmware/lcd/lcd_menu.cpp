#include "lcd_menu.h"

#include <stdarg.h>
#include <stdlib.h>
#include <string.h>

#include "console.h"
#include "lcd16_4_4bit.h"
#include "main.h"
#include "mutex_guard.h"
#include "storage.h"
#include "vsniprintf.h"

const char* const fMenu[] = {
    "@TestMode@^   Test mode.   ^^Console connect.^^var1:~var1~^#up:1:Test1#",
    "@WorkMode@^   Work mode.   ^^Test############^^var1:~var1~^##",
    "@Test1@^Sys_st:~sys_st~.^^Var3:~var3~    .^^Var4:~var4~^"
    "#up:2:var4##do:3:var4##es:5:sys_st#"
    "#en:1:TestMode##st:1:TestMode##sp:1:TestMode##tm:1:TestMode#",
    nullptr,
};

const char* LCD_CURRENT = nullptr;

namespace {

constexpr uint16_t kTemplateMax = 255;
constexpr uint8_t kRows = 4;
constexpr uint8_t kRowWidth = 16;
constexpr uint8_t kMaxReferences = 10;
constexpr unsigned kNumberText = 10;  // a rendered number: at most 9 characters
constexpr portTickType kStoreWait = 500;

// The current template when it came from outside the module.
char own_template[kTemplateMax + 1];

// Position just after occurrence `count` of token, or -1 if the string ends first.
int32_t skip_occurrences(const char* str, char token, uint8_t count) {
  uint16_t pos = 0;
  for (uint8_t seen = 0; seen != count; ++seen) {
    // The string ends before any NUL token; passing none is still the start.
    if (token == '\0') return -1;
    while (str[pos] != token) {
      if (str[pos] == '\0') return -1;
      ++pos;
    }
    ++pos;
  }
  return pos;
}

bool built_in(const char* lcd_str) {
  for (const char* const* m = fMenu; *m != nullptr; ++m) {
    if (*m == lcd_str) return true;
  }
  return false;
}

void format_number(char* buf, const char* format, ...) __attribute__((format(printf, 2, 3)));
void format_number(char* buf, const char* format, ...) {
  va_list args;
  va_start(args, format);
  vsniprintf(buf, kNumberText, format, args);
  va_end(args);
}

// The store holds xsStorage; null when there is no such name.
const sData* find_locked(const char* name) {
  for (const sData* d = STORAGE; d != nullptr; d = d->next) {
    if (strcmp(d->name, name) == 0) return d;
  }
  return nullptr;
}

// The text of one reference as a new string; null only when memory is short. The
// record is read, and a text copied, under the store's lock: a concurrent var_del
// or var_set may free it the moment the lock is given back.
char* variable_text(const char* name) {
  MutexGuard lock(xsStorage, kStoreWait);
  if (!lock.held()) {
    cprintf("Fun:lcd_create_string_c ERROR! xsStorage was busy very long time!\r\n");
    return static_cast<char*>(calloc(1, 1));
  }
  const sData* d = find_locked(name);
  if (d != nullptr && d->type == E_STRING && d->value != nullptr) return strdup(static_cast<char*>(d->value));
  auto* buf = static_cast<char*>(calloc(kNumberText, 1));
  if (buf == nullptr || d == nullptr) return buf;
  const auto value = static_cast<int32_t>(storage_num_of(d));
  switch (static_cast<uint8_t>(d->type)) {
    case E_STRING:
      format_number(buf, "%s", "null");
      break;
    case E_NUM:
      format_number(buf, "%03d", static_cast<int>(value));
      break;
    case E_HEX:
      format_number(buf, "0x%04x", static_cast<unsigned>(value));
      break;
    case E_ONOFF:
      format_number(buf, "%s", value != 0 ? "on " : "off");
      break;
    case E_STATE:
      if ((value & 0xFF) == 0) format_number(buf, "%s", "TEST");
      if ((value & 0xFF) == 1) format_number(buf, "%s", "WORK");
      break;
    default:
      format_number(buf, "%d", static_cast<int>(value));
      break;
  }
  return buf;
}

// Draws the built-in screen of that name and makes it current; false if none.
bool lcd_print_menu_in(const char* lcd_name) {
  for (const char* const* m = fMenu; *m != nullptr; ++m) {
    char* name = lcd_parser_tokens_c(*m, '@', 0);
    const bool match = name != nullptr && strcmp(name, lcd_name) == 0;
    free(name);
    if (match) {
      lcd_print(*m);
      LCD_CURRENT = *m;
      return true;
    }
  }
  return false;
}

}  // namespace

char* lcd_parser_tokens_c(const char* str, char token, uint8_t num) {
  const int32_t start = skip_occurrences(str, token, static_cast<uint8_t>(2 * num + 1));
  if (start < 0) return nullptr;
  uint16_t len = 0;
  while (str[start + len] != token) {
    if (str[start + len] == '\0') return nullptr;
    ++len;
  }
  auto* item = static_cast<char*>(calloc(len + 1u, 1));
  if (item == nullptr) return nullptr;
  strncat(item, str + start, len);
  return item;
}

const char* lcd_parser_after_tokens(const char* str, char token, uint8_t num) {
  const int32_t pos = skip_occurrences(str, token, static_cast<uint8_t>(2 * num));
  return pos < 0 ? nullptr : str + pos;
}

uint16_t lcd_parser_len(const char* str, char token) {
  uint16_t n = 0;
  while (str[n] != '\0' && str[n] != token) ++n;
  return static_cast<uint8_t>(n);
}

char* lcd_create_string_c(const char* str) {
  char* texts[kMaxReferences] = {};
  uint8_t found = 0;
  uint16_t sum = static_cast<uint16_t>(strlen(str));
  for (; found < kMaxReferences; ++found) {
    char* name = lcd_parser_tokens_c(str, '~', found);
    if (name == nullptr) break;
    texts[found] = variable_text(name);
    free(name);
    if (texts[found] != nullptr) sum = static_cast<uint16_t>(sum + strlen(texts[found]));
  }

  auto* out = static_cast<char*>(calloc(sum + 1u, 1));
  if (out != nullptr) {
    strncat(out, str, lcd_parser_len(str, '~'));
    for (uint8_t k = 1; k <= found; ++k) {
      if (texts[k - 1] != nullptr) strcat(out, texts[k - 1]);
      // After the last reference the rest goes as it is, "~" included.
      const char* rest = lcd_parser_after_tokens(str, '~', k);
      strncat(out, rest, lcd_parser_len(rest, k < found ? '~' : '\0'));
    }
    if (strlen(out) > kRowWidth) out[kRowWidth] = '\0';
  }
  for (char* text : texts) free(text);
  return out;
}

void lcd_print(const char* lcd_str) {
  LcdLock lock;
  if (lock.busy()) return;
  for (uint8_t row = 0; row < kRows; ++row) {
    char* line = lcd_parser_tokens_c(lcd_str, '^', row);
    if (line == nullptr) break;
    char* text = lcd_create_string_c(line);
    lcd16_4_cursorTo(row, 0);
    if (text != nullptr) lprintf("%s", text);
    free(text);
    free(line);
  }
}

void lcd_print_info(const char* lcd_str) {
  if (lcd_str == nullptr) return;
  LcdLock lock;
  if (lock.busy()) return;
  // The console's text lives only as long as its command; a redraw of the copy
  // must not copy it onto itself.
  if (lcd_str != own_template && !built_in(lcd_str)) {
    uint16_t len = 0;
    while (len < kTemplateMax && lcd_str[len] != '\0') ++len;
    memmove(own_template, lcd_str, len);
    own_template[len] = '\0';
    lcd_str = own_template;
  }
  lcd16_4_clear();
  lcd_print(lcd_str);
  LCD_CURRENT = lcd_str;
}

void lcd_refresh_menu(void) { lcd_print_info(LCD_CURRENT); }

void lcd_print_menu(const char* lcd_name) {
  LcdLock lock;
  if (lock.busy()) return;
  if (LCD_CURRENT != nullptr) {
    char* current = lcd_parser_tokens_c(LCD_CURRENT, '@', 0);
    const bool same = current != nullptr && strcmp(current, lcd_name) == 0;
    free(current);
    if (same) return;
  }
  lcd16_4_clear();
  lcd_print_menu_in(lcd_name);
}

char* lcd_get_curr_name(void) { return nullptr; }

char* lcd_get_string(uint8_t) { return nullptr; }

uint8_t lcd_get_keys_count(char*) { return 0; }

E_KEYS lcd_get_key(char*, uint8_t, E_ACTION*, char**) { return KEY_NULL; }

void lcd_run_action(E_ACTION, char*) {}
