// tarvik-sim as a user runs it: batch mode through standard input and output.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>

#include "help_text.h"

namespace {

struct Output {
  std::string out;
  int status;
};

Output run(const std::string& input, const std::string& args) {
  const std::string cmd = "printf '" + input + "' | " TARVIK_SIM_PATH " " + args + " 2>/dev/null";
  FILE* p = popen(cmd.c_str(), "r");
  Output o{"", -1};
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) o.out.append(buf, n);
  const int st = pclose(p);
  o.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return o;
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
