#include "commands.h"
#include "console.h"
#include "lcd16_4_4bit.h"
#include "lcd_menu.h"

namespace {
// The fixed test screen of `info`.
const char kInfoScreen[] =
    "@Test@^Hello world^^var1:~var1~^"
    "^lcd_infoeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeee:~lcd_info~!^"
    "^~sys_st~st~sys_st~~var1~^##";
}  // namespace

int lcd_info(char* str) {
  char buf[50];
  if (parser_of_word(str, 1, buf) != 0) {
    cprintf("Parameter is empty.");
    return 1;
  }
  // The number is not used; the text after it is required, though not shown.
  if (parser_of_flag(buf, 'n', buf) == 0 && parser_of_word(str, 2, buf) != 0) {
    cprintf("Parameter is empty.");
    return 0;
  }
  lcd_print_info(kInfoScreen);
  return 0;
}

int lcd_clear(char*) {
  lcd16_4_clear();
  return 0;
}

int console_lcd_menu(char* str) {
  char buf[50];
  if (parser_of_word(str, 1, buf) != 0) {
    cprintf("Parameter is empty.");
    return 1;
  }
  lcd_print_menu(buf);
  cprintf("OK");
  return 0;
}

int console_lcd_str(char* str) {
  char buf[50];
  if (parser_of_word(str, 1, buf) != 0) {
    cprintf("Parameter is empty.");
    return 1;
  }
  // Copied by lcd_print_info: buf goes away with this command.
  lcd_print_info(buf);
  cprintf("OK");
  return 0;
}
