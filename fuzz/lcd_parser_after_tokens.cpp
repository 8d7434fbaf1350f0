// lcd_parser_after_tokens and lcd_parser_len over arbitrary templates: the
// position just after the (2n)-th occurrence (the count modulo 256; the text itself
// for none), null when there are fewer; the length up to a delimiter in 8 bits.
#include "lcd_menu.h"
#include "template_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2 || size > fuzz::kTemplateMax + 2) return 0;
  const char token = static_cast<char>(data[0]);
  const uint8_t num = data[1];
  const fuzz::Text t = fuzz::text_of(data + 2, size - 2);
  const char* str = t.block.get();

  const std::vector<size_t> at = fuzz::occurrences(t.str, token);
  const size_t count = static_cast<uint8_t>(2 * num);
  const char* after = lcd_parser_after_tokens(str, token, num);
  if (count == 0) {
    if (after != str) fuzz::fail("lcd_parser_after_tokens", "not the text itself for no occurrence");
  } else if (token == '\0' || at.size() < count) {
    if (after != nullptr) fuzz::fail("lcd_parser_after_tokens", "a position past the occurrences");
  } else if (after != str + at[count - 1] + 1) {
    fuzz::fail("lcd_parser_after_tokens", "the wrong position");
  }

  const size_t first = token == '\0' || at.empty() ? t.str.size() : at[0];
  if (lcd_parser_len(str, token) != static_cast<uint8_t>(first)) fuzz::fail("lcd_parser_len", "wrong length");
  return 0;
}
