#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "board.h"
#include "console/console.h"
#include "init/board_config.h"

namespace {

// Collects what the firmware sends on USART1 while it is alive. The line is
// brought up as main does: an unclocked USART never reports a byte sent.
class ConsoleCapture {
 public:
  ConsoleCapture() {
    RCC_Configuration();
    USART1_Configuration();
    board::the_board().usart1.set_tx_sink([this](uint8_t b) { text_.push_back(static_cast<char>(b)); });
  }
  ~ConsoleCapture() {
    board::the_board().usart1.set_tx_sink([](uint8_t) {});
  }
  const std::string& text() const { return text_; }

 private:
  std::string text_;
};

// The word, or "<none>" when the parser reports it missing. Also checks the
// line is given back unchanged and that a failed call leaves word alone.
std::string word_of(const char* line, unsigned char n) {
  char str[64];
  strcpy(str, line);
  char word[50];
  strcpy(word, "untouched");
  const unsigned char rc = parser_of_word(str, n, word);
  EXPECT_STREQ(str, line) << "line not restored, word " << int(n);
  if (rc != 0) {
    EXPECT_EQ(rc, 1);
    EXPECT_STREQ(word, "untouched");
    return "<none>";
  }
  return word;
}

std::string flag_of(const char* text, char flag) {
  char str[64];
  strcpy(str, text);
  char fg[50];
  strcpy(fg, "untouched");
  const unsigned char rc = parser_of_flag(str, flag, fg);
  if (rc != 0) {
    EXPECT_EQ(rc, 1);
    EXPECT_STREQ(fg, "untouched");
    return "<none>";
  }
  return fg;
}

int catoi_of(const char* text) {
  char str[64];
  strcpy(str, text);
  return catoi(str);
}

TEST(ParserOfWord, CountsBlankSeparatedWordsFromZero) {
  EXPECT_EQ(word_of("led -n=1 -f=on", 0), "led");
  EXPECT_EQ(word_of("led -n=1 -f=on", 1), "-n=1");
  EXPECT_EQ(word_of("led -n=1 -f=on", 2), "-f=on");
  EXPECT_EQ(word_of("led -n=1 -f=on", 3), "<none>");
  EXPECT_EQ(word_of("led -n=1 -f=on", 255), "<none>");
}

TEST(ParserOfWord, ExtraBlanksNeverMakeEmptyWords) {
  EXPECT_EQ(word_of("   help", 0), "help");
  EXPECT_EQ(word_of("e3pulse    50", 1), "50");
  EXPECT_EQ(word_of("e3pulse 50   ", 1), "50");
  EXPECT_EQ(word_of("e3pulse 50   ", 2), "<none>");
  // Only the blank separates words.
  EXPECT_EQ(word_of("a\tb c", 0), "a\tb");
}

TEST(ParserOfWord, EmptyOrBlankLineHasNoWords) {
  for (unsigned char n : {0, 1, 2}) {
    EXPECT_EQ(word_of("", n), "<none>");
    EXPECT_EQ(word_of("     ", n), "<none>");
  }
}

TEST(ParserOfWord, QuotedBlanksStayInTheWordWithTheQuotes) {
  ConsoleCapture out;
  EXPECT_EQ(word_of("lcd_str \"a b\"", 1), "\"a b\"");
  EXPECT_EQ(word_of("lcd_str \"a b\" x", 1), "\"a b\"");
  EXPECT_EQ(word_of("x\"a  b\"y z", 0), "x\"a  b\"y");
  // An unclosed quote runs to the end of the line, trailing blanks included.
  EXPECT_EQ(word_of("info \"a b  ", 1), "\"a b  ");
  // Quotes in the wanted word itself are never reported.
  EXPECT_EQ(out.text(), "");
}

TEST(ParserOfWord, ReportsEveryQuotePassedOver) {
  ConsoleCapture out;
  EXPECT_EQ(word_of("lcd_str \"a b\" next", 2), "next");
  EXPECT_EQ(out.text(), "dd1\r\ndd1\r\n");
}

TEST(ParserOfWord, QuotesAcrossSeveralSkippedWords) {
  ConsoleCapture out;
  EXPECT_EQ(word_of("\"a\" b\"c d\"e \"f", 2), "\"f");
  EXPECT_EQ(out.text(), "dd1\r\ndd1\r\ndd1\r\ndd1\r\n");
}

TEST(ParserOfWord, UnclosedQuoteBeforeTheWantedWordHidesIt) {
  ConsoleCapture out;
  EXPECT_EQ(word_of("cmd \"a b c", 2), "<none>");
  EXPECT_EQ(out.text(), "dd1\r\n");
}

TEST(ParserOfFlag, AcceptsDashLetterEqualsAndCopiesTheRest) {
  EXPECT_EQ(flag_of("-n=1", 'n'), "1");
  EXPECT_EQ(flag_of("  -f=on", 'f'), "on");
  EXPECT_EQ(flag_of("-n=", 'n'), "");
  EXPECT_EQ(flag_of("-n=\"a b\"", 'n'), "\"a b\"");
}

TEST(ParserOfFlag, RejectsAnythingElse) {
  for (const char* text : {"-n", "n=1", "--n=1", "-N=1", "-p=1", "", " ", "-=1", "-n-1"}) {
    EXPECT_EQ(flag_of(text, 'n'), "<none>") << '"' << text << '"';
  }
}

TEST(ParserOfFlag, ValueMayReplaceItsWordInPlace) {
  char buf[50] = "  -n=0123456789abcdef";
  EXPECT_EQ(parser_of_flag(buf, 'n', buf), 0);
  EXPECT_STREQ(buf, "0123456789abcdef");
}

TEST(Catoi, Decimal) {
  EXPECT_EQ(catoi_of("42"), 42);
  EXPECT_EQ(catoi_of("007"), 7);
  EXPECT_EQ(catoi_of("+15"), 15);
  EXPECT_EQ(catoi_of("-15"), -15);
  EXPECT_EQ(catoi_of("12ab"), 12);
  EXPECT_EQ(catoi_of("\t 42"), 42);
  EXPECT_EQ(catoi_of("2147483647"), 2147483647);
  EXPECT_EQ(catoi_of("-2147483648"), INT32_MIN);
}

TEST(Catoi, Hexadecimal) {
  EXPECT_EQ(catoi_of("-0x10"), -16);
  EXPECT_EQ(catoi_of("0x1fA"), 506);
  EXPECT_EQ(catoi_of("0xaBcDeF"), 0xabcdef);
  EXPECT_EQ(catoi_of("0xffffffff"), -1);
  EXPECT_EQ(catoi_of("0x7fffffff"), INT32_MAX);
  EXPECT_EQ(catoi_of("0x10g"), 16);
  // Only a lowercase x starts hexadecimal.
  EXPECT_EQ(catoi_of("0X10"), 0);
}

TEST(Catoi, TextWithoutDigitsGivesZero) {
  for (const char* text : {"", "abc", "0x", "0xg", "+-5", "- 5", "-i=400", "\n5"}) {
    EXPECT_EQ(catoi_of(text), 0) << '"' << text << '"';
  }
}

TEST(Catoi, OverflowWrapsModulo32Bits) {
  EXPECT_EQ(catoi_of("4294967296"), 0);
  EXPECT_EQ(catoi_of("4294967297"), 1);
  EXPECT_EQ(catoi_of("2147483648"), INT32_MIN);
  EXPECT_EQ(catoi_of("-4294967295"), 1);
  EXPECT_EQ(catoi_of("0x123456789"), 0x23456789);
}

TEST(Cprintf, SendsExactlyTheFormattedBytes) {
  ConsoleCapture out;
  cprintf("%c", 8);
  cprintf("%s", "");
  cprintf("%c", 0);
  cprintf("%d|%x|%.4x|%15s\r\n", -7, 255u, 0x1du, "CONSOLE");
  EXPECT_EQ(out.text(), std::string("\b\0", 2) + "-7|ff|001d|        CONSOLE\r\n");
}

TEST(Cprintf, CutsLongTextTo99Characters) {
  ConsoleCapture out;
  const std::string line(99, 'x');
  cprintf("%s", line.c_str());
  cprintf("%s%s", line.c_str(), "tail beyond the buffer");
  cprintf("%s%s%s", line.c_str(), line.c_str(), line.c_str());
  EXPECT_EQ(out.text(), line + line + line);
}

}  // namespace
