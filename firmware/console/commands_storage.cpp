// Console commands over the variable store and the backup registers.
#include <stdint.h>
#include <string.h>

#include "backup.h"
#include "commands.h"
#include "console.h"
#include "storage.h"

namespace {

constexpr uint32_t kFailed = 0xFFFFFFFFu;

int not_enough() {
  cprintf("It is not enough parameters");
  return 1;
}

}  // namespace

int listv(char* /*str*/) {
  if (storage_find_index(0) != nullptr) cprintf("Vars:\r\n");
  const sData* d;
  for (int index = 0; (d = storage_find_index(index)) != nullptr; ++index) {
    if (d->type == E_STRING) {
      // A text variable may hold no text at all.
      const char* text = d->value != nullptr ? static_cast<const char*>(d->value) : "";
      cprintf("%s type:Str Val: %s\r\n", d->name, text);
    } else {
      const uint32_t v = storage_num_of(d);
      cprintf("%s type:Int Val: 0x%x(%d)\r\n", d->name, static_cast<unsigned>(v), static_cast<int>(v));
    }
  }
  return 0;
}

int console_var_set(char* str) {
  char buf[50];
  char buf_val[50];
  if (parser_of_word(str, 2, buf) != 0) return not_enough();
  const uint8_t type = strcmp(buf, "str") == 0 ? E_STRING : E_NUM;
  if (parser_of_word(str, 3, buf_val) != 0) return not_enough();
  (void)parser_of_word(str, 1, buf);  // present, since word 3 is

  const int result =
      type == E_STRING ? storage_set_str(buf, buf_val) : storage_set_num(buf, catoi(buf_val), E_NUM);
  if (static_cast<unsigned char>(result) != 0) {
    cprintf("Result FAIL. Var %s not found or other error", buf);
    return 1;
  }
  cprintf("Result OK.");
  return 0;
}

int console_var_get(char* str) {
  char buf[50];
  if (parser_of_word(str, 1, buf) != 0) return not_enough();
  const uint32_t val_num = static_cast<uint32_t>(storage_get_num(buf));
  if (val_num != kFailed) {
    cprintf("Var %s=0x%x(%d)", buf, static_cast<unsigned>(val_num), static_cast<int>(val_num));
    return 0;
  }
  const char* val_str = storage_get_str(buf);
  if (val_str != nullptr) {
    cprintf("Var %s=%s", buf, val_str);
    return 0;
  }
  cprintf("Result FAIL. Var %s", buf);
  return 1;
}

int console_var_del(char* str) {
  char buf[50];
  if (parser_of_word(str, 1, buf) != 0) return not_enough();
  if (storage_del(buf) != 0) {
    cprintf("Result FAIL. Var %s", buf);
    return 1;
  }
  cprintf("Result OK. Var %s was delete", buf);
  return 0;
}

int console_backup_crc(char* /*str*/) {
  const uint32_t crc = backup_crc();
  cprintf("Backup CRC: 0x%x(%d)", static_cast<unsigned>(crc), static_cast<int>(crc));
  return 0;
}

int console_backup_list(char* /*str*/) {
  cprintf("BACKUP registers:\r\n");
  for (uint8_t i = ENG0; i <= ENG3; ++i) {
    const uint32_t value = backup_get_num(static_cast<EBACKUP>(i));
    cprintf("BKP_DR%d : 0x%x(%d)\r\n", i, static_cast<unsigned>(value), static_cast<int>(value));
  }
  return 0;
}

int console_backup_get(char* str) {
  char buf[50];
  if (parser_of_word(str, 1, buf) != 0) return not_enough();
  const uint32_t num = static_cast<uint32_t>(catoi(buf));
  if (num == 0) {
    cprintf("Register 0 is read-only.");
    return 1;
  }
  const uint32_t val = backup_get_num(static_cast<EBACKUP>(num & 0xFFu));
  if (val == kFailed) {
    cprintf("Result FAIL.");
    return 1;
  }
  cprintf("Result: 0x%x(%d)", static_cast<unsigned>(val), static_cast<int>(val));
  return 0;
}

int console_backup_set(char* str) {
  char buf[50];
  if (parser_of_word(str, 1, buf) != 0) return not_enough();
  const auto slot = static_cast<EBACKUP>(static_cast<uint32_t>(catoi(buf)) & 0xFFu);
  if (slot == CRC_B) {
    cprintf("Register 0 is read-only.");
    return 1;
  }
  if (parser_of_word(str, 2, buf) != 0) return not_enough();
  if (backup_set_num(slot, static_cast<uint32_t>(catoi(buf))) != 0) {
    cprintf("Result FAIL.");
    return 1;
  }
  cprintf("Result OK.");
  return 0;
}
