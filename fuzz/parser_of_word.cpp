// parser_of_word over arbitrary lines: words 0, 1, 2, ... as the handlers ask for
// them. The line comes back unchanged, a word never reaches outside its buffer
// (exactly as long as the line), the words lie in the line in order without
// overlapping, and "dd1\r\n" is printed only for quotes passed over.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "console.h"
#include "parser_stub.h"

namespace {

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "parser_of_word: %s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 256) return 0;
  const std::string line(reinterpret_cast<const char*>(data),
                         strnlen(reinterpret_cast<const char*>(data), size));
  const size_t quotes = static_cast<size_t>(std::count(line.begin(), line.end(), '"'));
  char* str = static_cast<char*>(std::malloc(line.size() + 1));
  char* word = static_cast<char*>(std::malloc(line.size() + 1));
  std::memcpy(str, line.c_str(), line.size() + 1);

  size_t searched_from = 0;  // words come later in the line than the one before
  for (unsigned num = 0; num < 256; ++num) {
    g_printed.clear();
    std::memset(word, 0x5A, line.size());
    word[line.size()] = '\0';
    const std::string before(word);
    const unsigned char r = parser_of_word(str, static_cast<unsigned char>(num), word);
    if (line != str) fail("the line was not restored");
    const std::string printed = g_printed;
    size_t dd1 = 0;
    for (size_t at = 0; (at = printed.find("dd1\r\n", at)) != std::string::npos; at += 5) ++dd1;
    if (dd1 * 5 != printed.size()) fail("printed something other than dd1");
    if (num == 0 && dd1 != 0) fail("dd1 for the command word");
    if (dd1 > quotes) fail("more dd1 than quotes");
    if (r == 1) {
      if (before != word) fail("a missing word changed the buffer");
      break;  // no later word exists either
    }
    if (r != 0) fail("result neither 0 nor 1");
    const std::string w = word;
    if (w.empty() || w[0] == ' ') fail("empty word or leading blank");
    const size_t at = line.find(w, searched_from);
    if (at == std::string::npos) fail("the word is not in the line after the one before");
    searched_from = at + w.size();
  }
  std::free(word);
  std::free(str);
  return 0;
}
