// tarvik-sim as a user runs it: batch mode through standard input and output.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

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

TEST(Cli, PtyLinkFolderThatCannotBeMadeIsRefusedBeforeTheBoardStarts) {
  // Named per process: the image run of this test may run beside it.
  const std::string file = ::testing::TempDir() + "pty_link_plain_file." + std::to_string(getpid());
  FILE* f = std::fopen(file.c_str(), "w");
  ASSERT_NE(f, nullptr);
  std::fclose(f);
  const CommandResult r = run_command(TARVIK_SIM_PATH " --pty-link " + file + "/links </dev/null 2>&1");
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "tarvik-sim: --pty-link " + file + "/links: Not a directory\n");
  std::remove(file.c_str());
}

TEST(Cli, AccessLogNamesTheClockSetUpAndTheMotorsTimerWritesOfE3on) {
  const std::string log = ::testing::TempDir() + "access.log." + std::to_string(getpid());
  const CommandResult r = run_command("printf 'e3on\\r' | " TARVIK_SIM_PATH
                                      " --until 0.3 --log-access rcc,flash,tim3"
                                      " --log-access-file " +
                                      log + " >/dev/null 2>&1");
  EXPECT_EQ(r.status, 0);
  const std::string text = read_file(log);
  std::remove(log.c_str());
  // The lines without their times, in the order they came.
  std::vector<std::string> lines;
  for (size_t at = 0; at < text.size();) {
    const size_t eol = text.find('\n', at);
    lines.push_back(text.substr(text.find(' ', at) + 1, eol - text.find(' ', at) - 1));
    at = eol + 1;
  }
  auto in_order = [&](const std::vector<std::string>& wanted) {
    size_t i = 0;
    for (const std::string& l : lines)
      if (i < wanted.size() && l == wanted[i]) ++i;
    return i == wanted.size() ? std::string("all") : wanted[i];
  };
  // The crystal, the flash wait states, the bus dividers, the PLL, the switch.
  EXPECT_EQ(in_order({"R RCC.CR -> 0x00000083", "W RCC.CR <- 0x00010083 HSEON=1",
                      "W FLASH.ACR <- 0x00000032 LATENCY=2", "W RCC.CFGR <- 0x00000400 PPRE1=4",
                      "W RCC.CFGR <- 0x001D0400 PLLSRC=1 PLLMUL=7", "W RCC.CR <- 0x01030083 PLLON=1",
                      "W RCC.CFGR <- 0x001D0402 SW=2", "W RCC.APB1ENR <- 0x18000002 TIM3EN=1"}),
            "all");
  // e3on: the PWM set up on both channels with preload, then the counter started.
  EXPECT_EQ(in_order({"W TIM3.ARR <- 0x03E8", "W TIM3.PSC <- 0x0006", "W TIM3.EGR <- 0x0001 UG=1",
                      "W TIM3.CCMR1 <- 0x0060 OC1M=6", "W TIM3.CCER <- 0x0001 CC1E=1",
                      "W TIM3.CCMR1 <- 0x6068 OC2M=6", "W TIM3.CR1 <- 0x0080 ARPE=1"}),
            "all");
  EXPECT_NE(std::find(lines.begin(), lines.end(), "W TIM3.CR1 <- 0x0081 CEN=1"), lines.end());
  EXPECT_EQ(run("", "--log-access tim5").status, 2);
  EXPECT_EQ(run("", "--log-access-file x.log").status, 2);
}

}  // namespace
