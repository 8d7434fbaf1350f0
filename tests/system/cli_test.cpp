// tarvik-sim as a user runs it: batch mode through standard input and output.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>

#include "command.h"
#include "help_text.h"

namespace {

using Output = CommandResult;

Output run(const std::string& input, const std::string& args) {
  return run_command("printf '" + input + "' | " TARVIK_SIM_PATH " " + args + " 2>/dev/null");
}

TEST(Cli, BatchOutputIsExactlyTheConsoleBytesAndRepeats) {
  const Output a = run("help\\r", "--batch");
  EXPECT_EQ(a.out, "\r\n Tarvik! Start programm.\r\n Version: 0.0.1\r\nconsole>help\r\n" +
                       help_text::listing() + "\r\nconsole>");
  EXPECT_EQ(a.status, 0);
  const Output b = run("help\\r", "");  // not a terminal: batch by itself
  EXPECT_EQ(b.out, a.out);
}

TEST(Cli, UntilEndsTheRunEvenWithInputLeft) {
  const Output o = run("help\\r", "--batch --until 0.1");
  EXPECT_EQ(o.out, "\r\n Tarvik! Start programm.\r\n Version: 0.0.1\r\nconsole>h");
  EXPECT_EQ(o.status, 0);
}

TEST(Cli, HelpAndBadOptions) {
  const Output h = run("", "--help");
  EXPECT_EQ(h.status, 0);
  EXPECT_NE(h.out.find("--batch"), std::string::npos);
  EXPECT_NE(h.out.find("--until SECONDS"), std::string::npos);
  EXPECT_EQ(run("", "--until").status, 2);
  EXPECT_EQ(run("", "--frobnicate").status, 2);
}

}  // namespace
