// parser_of_flag over arbitrary words and flag letters: it recognises exactly
// blanks, '-', the letter, '=', copies the rest whole, leaves the value buffer
// alone otherwise, and gives the same value when it writes over its own word.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "console.h"
#include "parser_stub.h"

namespace {

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "parser_of_flag: %s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > 256) return 0;
  const char flag = static_cast<char>(data[0]);
  const std::string text(reinterpret_cast<const char*>(data + 1),
                         strnlen(reinterpret_cast<const char*>(data + 1), size - 1));

  const size_t start = text.find_first_not_of(' ');
  const bool is_flag = start != std::string::npos && text.size() >= start + 3 && text[start] == '-' &&
                       text[start + 1] == flag && text[start + 2] == '=';
  const std::string value = is_flag ? text.substr(start + 3) : std::string();

  // Separate buffers, each exactly as long as it must be.
  char* str = static_cast<char*>(std::malloc(text.size() + 1));
  std::memcpy(str, text.c_str(), text.size() + 1);
  char* fg = static_cast<char*>(std::malloc(text.size() + 1));
  std::memset(fg, 'Z', text.size());
  fg[text.size()] = '\0';
  const std::string untouched(fg);
  const unsigned char r = parser_of_flag(str, flag, fg);
  if (r != (is_flag ? 0 : 1)) fail("recognised the wrong words");
  if (text != str) fail("the word changed");
  if (is_flag ? value != fg : untouched != fg) fail("wrong value, or the buffer changed on a miss");

  // In place, as led and info call it.
  const unsigned char again = parser_of_flag(str, flag, str);
  if (again != r) fail("in place gave another result");
  if (is_flag ? value != str : text != str) fail("in place gave another value");
  std::free(fg);
  std::free(str);
  return 0;
}
