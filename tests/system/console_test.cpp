#include <gtest/gtest.h>

#include <string>

#include "help_text.h"
#include "sim.h"

namespace {

const std::string kStart = "\r\n Tarvik! Start programm.\r\n Version: 0.0.1\r\nconsole>";
const std::string kPrompt = "\r\nconsole>";
const std::string kNotFound = "\r\nCommand not found." + kPrompt;

// The terminal's view of one character erased.
std::string wipe(size_t n) {
  std::string s;
  for (size_t i = 0; i < n; ++i) s += "\b \b";
  return s;
}

// A command line echoed as typed, then run: its output between the line break
// and the next prompt.
std::string ran(const std::string& echo, const std::string& output) {
  return echo + "\r\n" + output + kPrompt;
}

std::string not_exist(const std::string& word) { return "Command " + word + " not exist."; }

// Everything the firmware wrote on the console for this input, banner included.
std::string console_after(const std::string& input) {
  sim::Options opt;
  const sim::BatchResult r = sim::run_batch(input, opt);
  EXPECT_EQ(r.exit_status, 0) << r.diagnostics;
  return r.console;
}

TEST(Console, HelpListsCommandsOrDescribesOne) {
  EXPECT_EQ(
      console_after("help\rhelp help\rhelp nope\r"),
      kStart + ran("help", help_text::listing()) +
          ran("help help", "Command help:\nList of command or Help about command.\r\n help <command> ") +
          ran("help nope", not_exist("nope")));
}

TEST(Console, OnlyTheWholeCommandWordMatches) {
  EXPECT_EQ(console_after("\r   \r  help  \rHELP\rhel\rhelpx\r"),
            kStart + kNotFound + "   " + kNotFound + ran("  help  ", help_text::listing()) + "HELP" +
                kNotFound + "hel" + kNotFound + "helpx" + kNotFound);
}

TEST(Console, ControlCharactersAndLineEndings) {
  // LF after CR is dropped; DEL, tab and ESC are dropped while the rest of an
  // arrow key's sequence lands in the line; LF alone never runs a line.
  EXPECT_EQ(console_after("help\r\n\x1b[A\x7f\t\rhelp\n\n"),
            kStart + ran("help", help_text::listing()) + "[A" + kNotFound + "help");
}

TEST(Console, BackspaceErasesOnlyWhatWasTyped) {
  EXPECT_EQ(console_after("\b\bhelpx\b\r"), kStart + "helpx" + wipe(1) + ran("", help_text::listing()));
}

TEST(Console, LineHoldsAtMost48Characters) {
  const std::string arg(43, 'a');
  // The 49th and 50th characters are shown and wiped; the line runs without them.
  EXPECT_EQ(console_after("help " + arg + "bc\r"),
            kStart + "help " + arg + "b" + wipe(1) + "c" + wipe(1) + ran("", not_exist(arg)));
}

TEST(Console, GraveAccentIsACharacterOnlyBeforeTheFirstCommand) {
  // Afterwards it recalls: the line is shown, and Enter runs it again.
  EXPECT_EQ(console_after("`help\rhelp a\r`\r"),
            kStart + "`help" + kNotFound + ran("help a", not_exist("a")) + ran("help a", not_exist("a")));
}

TEST(Console, RecallGoesBackToAnEmptyLineThenWraps) {
  // B, A, an empty line (seen only as the wipe of A), B again; the recalled
  // line can be edited like a typed one.
  EXPECT_EQ(console_after("help a\rhelp b\r````\bc\r"),
            kStart + ran("help a", not_exist("a")) + ran("help b", not_exist("b")) + "help b" + wipe(6) +
                "help a" + wipe(6) + "help b" + wipe(1) + ran("c", not_exist("c")));
}

TEST(Console, RecallCyclesFourLinesThenForgetsTheOldest) {
  // Blanks count in a stored line's length, seen in how much a recall wipes.
  const std::string four = " help a\rhelp b  \rhelp c\rhelp d\r";
  const std::string shown_four = ran(" help a", not_exist("a")) + ran("help b  ", not_exist("b")) +
                                 ran("help c", not_exist("c")) + ran("help d", not_exist("d"));
  EXPECT_EQ(console_after(four + "`````" + std::string(6, '\b') + "help e\r" + "`````"),
            kStart + shown_four +
                // D, C, B, A, D: no empty line while four are stored
                "help d" + wipe(6) + "help c" + wipe(6) + "help b  " + wipe(8) + " help a" + wipe(7) +
                "help d" + wipe(6) + ran("help e", not_exist("e")) +
                // E, D, C, the slot of the oldest as an empty line, E
                "help e" + wipe(6) + "help d" + wipe(6) + "help c" + wipe(6) + "help e");
}

TEST(Console, RerunLineIsNewestAndFailedLinesLeaveHistoryAlone) {
  EXPECT_EQ(console_after("help a\rhelp b\r`" + std::string(6, '\b') + "zz\r`\r````"),
            kStart + ran("help a", not_exist("a")) + ran("help b", not_exist("b")) + "help b" + wipe(6) +
                "zz" + kNotFound + ran("help a", not_exist("a")) +
                // newest first: the rerun line, then the two before it, then the free slot
                "help a" + wipe(6) + "help b" + wipe(6) + "help a" + wipe(6));
}

}  // namespace
