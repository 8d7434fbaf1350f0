// Bad input at the console's edges: arguments missing, extra, huge, negative or
// not numbers, quotes left open, bytes that are not text, a full line recalled,
// and a flood of bytes faster than the console polls.
#include <gtest/gtest.h>

#include <string>

#include "console_session.h"
#include "help_text.h"
#include "machine.h"
#include "sim.h"

namespace {

const std::string kPrompt = "\r\nconsole>";
const std::string kNotEnough = "It is not enough parameters";

std::string info(int pulse, int period, int direction) {
  return "Engine3 setup:\r\npulse: " + std::to_string(pulse) +
         "\r\nfrequency: 10000000\r\nperiod: " + std::to_string(period) +
         "\r\ndirection: " + std::to_string(direction) + "\r\n";
}

TEST(BadInput, NumbersThatAreWordsNegativeHugeOrTooMany) {
  ConsoleSession s;
  // A word that is no number is 0; a negative one keeps its low bits; overflow
  // wraps; words after the first are not looked at.
  EXPECT_EQ(s.run("e3pulse abc"), "Engine3 pulse changed.");
  EXPECT_EQ(s.run("e3info"), info(0, 1000, 0));
  EXPECT_EQ(s.run("e3pulse 5 6 7"), "Engine3 pulse changed.");
  EXPECT_EQ(s.run("e3period 4294967297"), "Engine3 period changed.");
  EXPECT_EQ(s.run("e3dir -1"), "Engine3 change direction=-1.");
  EXPECT_EQ(s.run("e3info"), info(5, 1, 255));
  EXPECT_EQ(s.run("e3period -1"), "Engine3 period changed.");
  EXPECT_EQ(s.run("e3info"), info(5, 65535, 255));

  for (const char* missing : {"backup_get", "backup_set", "backup_set 2", "var_set", "var_set a",
                              "var_set a str", "var_get", "var_del", "var_get    "})
    EXPECT_EQ(s.run(missing), kNotEnough) << missing;
  EXPECT_EQ(s.run("backup_get abc"), "Register 0 is read-only.");
  EXPECT_EQ(s.run("backup_get -1"),
            "Fun:ibackup_get_num ERROR! \"back\" parameter is wrong!\r\nResult FAIL.");
  EXPECT_EQ(s.run("backup_set 3 -1"), "Result OK.");
  EXPECT_EQ(s.run("backup_get 3 4"), "Result: 0xffff(65535)");
  EXPECT_EQ(s.run("backup_set 2 junk"), "Result OK.");
  EXPECT_EQ(s.run("backup_get 2"), "Result: 0x0(0)");
  EXPECT_EQ(s.run("var_set big int 99999999999"), "Result OK.");  // 2^32 x 23 + 1215752191
  EXPECT_EQ(s.run("var_get big"), "Var big=0x4876e7ff(1215752191)");
}

TEST(BadInput, LedNumbersOutOfRange) {
  ConsoleSession s;
  EXPECT_EQ(s.run("led -n=256 -f=on"), "Led GREEN = ON");  // the low 8 bits
  EXPECT_EQ(s.run("led -f=on -n=-1"), "");                 // LED 255: nothing
  // The second word, in decimal, stops at the limits of int on every machine:
  // LED 255, then LED 0.
  EXPECT_EQ(s.run("led -f=on -n=4294967296"), "");
  EXPECT_EQ(s.run("led -f=on -n=-99999999999"), "Led GREEN = ON");
  EXPECT_EQ(s.run("led -f=on -n=+00000000001"), "Led BLUE = ON");
}

TEST(BadInput, CommandsWithoutArgumentsIgnoreExtraWords) {
  ConsoleSession s;
  for (const std::string command :
       {"listt", "listt_ex", "backup_list", "backup_crc", "listv", "e3info", "clr"})
    EXPECT_EQ(s.run(command + " x -n=1 \"y"), s.run(command)) << command;
}

TEST(BadInput, QuotesLeftOpenRunToTheEndOfTheLine) {
  ConsoleSession s;
  EXPECT_EQ(s.run("help \"abc"), "Command \"abc not exist.");
  EXPECT_EQ(s.run("help \"a  b"), "Command \"a  b not exist.");
  EXPECT_EQ(s.run("led \"-n=1 -f=on"), "Wrong parameter \"-n=1 -f=on");
  EXPECT_EQ(s.run("var_set q str \"x y"), "Result OK.");
  EXPECT_EQ(s.run("var_get q"), "Var q=\"x y");
  // Every quote passed over on the way to a later word is reported: words 2 and
  // 3 each pass the quoted name.
  EXPECT_EQ(s.run("var_set \"a b\" str x"), "dd1\r\ndd1\r\ndd1\r\ndd1\r\nResult OK.");
  EXPECT_EQ(s.run("var_get \"a b\""), "Var \"a b\"=x");
  // A word after an unclosed quote does not exist.
  EXPECT_EQ(s.run("var_set \"a str x"), "dd1\r\n" + kNotEnough);
}

std::string console_after(const std::string& input) {
  const sim::BatchResult r = sim::run_batch(input, sim::Options{});
  EXPECT_EQ(r.exit_status, 0) << r.diagnostics;
  const std::string banner = "\r\n Tarvik! Start programm.\r\n Version: 0.0.1\r\nconsole>";
  EXPECT_EQ(r.console.compare(0, banner.size(), banner), 0);
  return r.console.substr(banner.size());
}

TEST(BadInput, NulHighAndControlBytesNeverReachTheLine) {
  const std::string input("h\0e\x80l\xffp\x1b\x01\x7f\r", 11);
  EXPECT_EQ(console_after(input), "help\r\n" + help_text::listing() + kPrompt);
}

TEST(BadInput, ARecalledFullLineTakesNoMoreCharacters) {
  const std::string arg(43, 'q');
  const std::string line = "help " + arg;  // 48 characters
  const std::string answer = "\r\nCommand " + arg + " not exist." + kPrompt;
  // Recalled with its 48 characters, the line wipes a 49th at once, as typed.
  EXPECT_EQ(console_after(line + "\r`zz\r"), line + answer + line + "z\b \bz\b \b" + answer);
}

TEST(BadInput, AFloodFasterThanThePollLosesWhatTheConsoleCannotRead) {
  sim::Machine m;
  std::string out;
  board::Usart& usart = m.board().usart1;
  usart.set_tx_sink([&](uint8_t byte) { out.push_back(static_cast<char>(byte)); });
  sim::LineInput wire(m.board(), usart, sim::LineInput::Mode::live);
  sim::LineInput typed(m.board(), usart, sim::LineInput::Mode::paced);
  m.run_while([&] { return !out.ends_with("console>"); }, sim::seconds(0.01), sim::seconds(5));
  ASSERT_TRUE(out.ends_with("console>"));

  // 400 bytes in 35 ms: the console reads one byte per 50 ms and the receiver
  // holds one, so every byte but the one or two read is lost.
  const size_t before = out.size();
  std::string flood;
  for (int i = 0; i < 80; ++i) flood += "ledx ";
  wire.push(flood);
  m.run_until(m.now() + sim::seconds(1));
  const std::string echoed = out.substr(before);
  ASSERT_GE(echoed.size(), 1u);
  ASSERT_LE(echoed.size(), 2u);
  EXPECT_EQ(echoed[0], flood[0]);
  EXPECT_EQ(usart.bytes_lost(), flood.size() - echoed.size());

  // The console goes on as before.
  typed.push(std::string(echoed.size(), '\b') + "help\r");
  m.run_while([&] { return !out.ends_with(kPrompt); }, sim::seconds(0.01), m.now() + sim::seconds(5));
  EXPECT_TRUE(out.ends_with("help\r\n" + help_text::listing() + kPrompt));
  EXPECT_FALSE(m.halted());
}

}  // namespace
