// Menu screens: a screen is one template text holding its name, up to four display
// lines with variables of the store filled in, and its key bindings:
//
//   "@" name "@"   "^" line "^" (up to four)   "#" key ":" action ":" argument "#"
//
// and inside a line "~" variable name "~". Item n of a delimiter is the text
// between its (2n+1)-th and (2n+2)-th occurrence in the string, whatever lies
// between; an item whose closing delimiter is missing does not exist, nor does any
// later one. Tasks only: rendering takes xsStorage, drawing sleeps.
#pragma once
#include <stdint.h>

#include "keyboard.h"

enum E_ACTION : uint8_t { A_NULL = 0, A_LCD = 1, A_INC = 2, A_DEC = 3, A_TIME = 4, A_INVERT = 5 };

// The built-in screens TestMode, WorkMode and Test1, ended by null.
extern const char* const fMenu[];
// The template on the display; null until the first screen is shown.
extern const char* LCD_CURRENT;

// Item num of token in str as a new string (calloc; the caller frees it), or null
// if it does not exist or memory is short.
char* lcd_parser_tokens_c(const char* str, char token, uint8_t num);
// Just after the (2 num)-th occurrence of token (str itself for 0), or null if
// there are fewer.
const char* lcd_parser_after_tokens(const char* str, char token, uint8_t num);
// Characters before the first token or the end (token 0: the length), in 8 bits.
uint16_t lcd_parser_len(const char* str, char token);

// One display line with its variables filled in, at most 16 characters, as a new
// string (null if memory is short). Up to ten references are filled in; a name the
// store does not hold gives empty text, a number at most 9 characters.
char* lcd_create_string_c(const char* str);

// Draws the lines of a template on rows 0-3 without clearing first.
void lcd_print(const char* lcd_str);
// Clears, draws and makes the template current. A template other than a built-in
// one is copied (its first 255 characters), so the caller's text may go away.
void lcd_print_info(const char* lcd_str);
// lcd_print_info(LCD_CURRENT).
void lcd_refresh_menu(void);
// Shows the built-in screen of that name unless it is current already; an unknown
// name leaves the display clear and the current screen as it was.
void lcd_print_menu(const char* lcd_name);

// Placeholders of the interface; nothing calls them.
char* lcd_get_curr_name(void);
char* lcd_get_string(uint8_t num);
uint8_t lcd_get_keys_count(char* lcd_name);
E_KEYS lcd_get_key(char* lcd_name, uint8_t num, E_ACTION* act, char** act_str);
void lcd_run_action(E_ACTION act, char* act_str);
