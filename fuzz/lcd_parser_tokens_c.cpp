// lcd_parser_tokens_c over arbitrary templates, delimiters and item numbers: the
// item is the text between the (2n+1)-th and (2n+2)-th occurrence (the count taken
// modulo 256), a new string of exactly that text, or null when either is missing.
#include "FreeRTOS.h"
#include "lcd_menu.h"
#include "template_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2 || size > fuzz::kTemplateMax + 2) return 0;
  const char token = static_cast<char>(data[0]);
  const uint8_t num = data[1];
  const fuzz::Text t = fuzz::text_of(data + 2, size - 2);
  const size_t heap = xPortGetFreeHeapSize();

  const std::vector<size_t> at = fuzz::occurrences(t.str, token);
  const size_t opening = static_cast<uint8_t>(2 * num + 1);  // occurrences passed before the item
  char* item = lcd_parser_tokens_c(t.block.get(), token, num);
  if (t.str != t.block.get()) fuzz::fail("lcd_parser_tokens_c", "the template changed");
  if (token == '\0' || at.size() < opening + 1) {
    if (item != nullptr) fuzz::fail("lcd_parser_tokens_c", "an item that does not exist");
  } else {
    if (item == nullptr) fuzz::fail("lcd_parser_tokens_c", "a missing item that exists");
    const size_t from = at[opening - 1] + 1;
    if (t.str.substr(from, at[opening] - from) != item) fuzz::fail("lcd_parser_tokens_c", "the wrong item");
  }
  vPortFree(item);
  if (xPortGetFreeHeapSize() != heap) fuzz::fail("lcd_parser_tokens_c", "memory not given back");
  return 0;
}
