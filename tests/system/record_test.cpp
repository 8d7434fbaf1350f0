// --record and --replay as a user runs them: a batch run with every kind of
// input recorded, replayed byte for byte; broken recordings refused by line.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "command.h"

namespace {

// Named per process: the image run of these tests may run beside them.
std::string temp(const std::string& name) {
  return ::testing::TempDir() + name + "." + std::to_string(getpid());
}

void spit(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

// The run's output files, named with `tag`.
std::string outputs(const std::string& tag) {
  return " --trace " + temp("trace" + tag) + " --vcd " + temp("vcd" + tag) + " --rs485 " +
         temp("rs485" + tag) + " --lcd " + temp("lcd" + tag);
}

void expect_same_outputs() {
  for (const char* kind : {"trace", "vcd", "rs485", "lcd"}) {
    const std::string first = read_file(temp(std::string(kind) + "1")),
                      again = read_file(temp(std::string(kind) + "2"));
    EXPECT_FALSE(first.empty()) << kind;
    EXPECT_TRUE(first == again) << kind << ": " << first.size() << " bytes recorded, " << again.size()
                                << " replayed";
    std::remove(temp(std::string(kind) + "1").c_str());
    std::remove(temp(std::string(kind) + "2").c_str());
  }
}

TEST(RecordReplay, ABatchRunWithKeysFaultsAndAResetReplaysByteForByte) {
  const std::string rec = temp("run.rec");
  const CommandResult first =
      run_command("printf 'e3on\\re3pulse 600\\rkeys\\r' | " TARVIK_SIM_PATH
                  " --batch --lcd-task --keys up@0.8s,stop@1.3s+200ms --reset-at 1.65"
                  " --fault load=0.01@1s,stall@1.1s+50ms,bounce=3ms,corrupt=0.2,seed=5 --record " +
                  rec + outputs("1") + " 2>" + temp("stderr1"));
  ASSERT_EQ(first.status, 0);
  const std::string text = read_file(rec);
  EXPECT_EQ(text.rfind("tarvik-sim record 1\nfirmware ", 0), 0u) << text.substr(0, 80);
  for (const char* line :
       {"\noption lcd-task\n", "\nbackup 0000 0000", " console 65\n", " key up down\n", " key stop up\n",
        " load 0.01\n", " stall 1\n", " stall 0\n", " reset\n", "\nend "})
    EXPECT_NE(text.find(line), std::string::npos) << line;

  const CommandResult again =
      run_command(TARVIK_SIM_PATH " --replay " + rec + outputs("2") + " </dev/null 2>" + temp("stderr2"));
  EXPECT_EQ(again.status, 0);
  EXPECT_EQ(again.out, first.out);
  // The same report at the end (a reset cutting an LCD byte short is seen by the
  // display both times), and no warning: the same firmware.
  EXPECT_EQ(read_file(temp("stderr2")), read_file(temp("stderr1")));
  std::remove(temp("stderr1").c_str());
  std::remove(temp("stderr2").c_str());
  EXPECT_NE(first.out.find("Engine3 pulse changed."), std::string::npos);
  expect_same_outputs();

  // Another firmware: said with both identities, and the run goes on.
  std::string other = text;
  const size_t hash = other.find("firmware ") + 9;
  other.replace(other.find(' ', hash) + 1, 4, "0bad");
  spit(rec, other);
  const CommandResult warned =
      run_command(TARVIK_SIM_PATH " --replay " + rec + " </dev/null 2>&1 >/dev/null");
  EXPECT_EQ(warned.status, 0);
  const std::string recorded = other.substr(hash, other.find('\n', hash) - hash);
  EXPECT_EQ(warned.out.rfind("tarvik-sim: --replay " + rec + ": recorded with firmware " + recorded +
                                 "; replaying on firmware ",
                             0),
            0u)
      << warned.out;
  std::remove(rec.c_str());
}

TEST(RecordReplay, ARecordingCutShortReplaysToItsLastInputAndSaysSo) {
  const std::string rec = temp("cut.rec");
  ASSERT_EQ(
      run_command("printf 'e3info\\r' | " TARVIK_SIM_PATH " --batch --record " + rec + " >/dev/null 2>&1")
          .status,
      0);
  std::string text = read_file(rec);
  text.erase(text.rfind("end "));
  spit(rec, text);
  const CommandResult r = run_command(TARVIK_SIM_PATH " --replay " + rec + " </dev/null 2>&1");
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("no end line (the recorded run was cut short)"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Engine3 setup:"), std::string::npos) << r.out;
  std::remove(rec.c_str());
}

TEST(RecordReplay, ABrokenRecordingStopsWithItsLineAndNothingRuns) {
  const std::string rec = temp("broken.rec");
  const std::string head = "tarvik-sim record 1\nfirmware host 0123456789abcdef\n# a comment\n\n";
  struct Case {
    std::string text, error;
  } cases[] = {
      {head + "100 console 41\n200 frob 1\n", "line 6: unknown event 'frob'"},
      {head + "100 console 4\n", "line 5: console needs one byte in two hex digits"},
      {head + "200 console 41\n100 console 42\n", "line 6: an event earlier than the one before"},
      {head + "100 key left down\n",
       "line 5: key needs a key (up, down, esc, enter, start, stop) and down or up"},
      {head + "10x console 41\n", "line 5: bad time '10x' (CYCLE or CYCLE/ORDER)"},
      {head + "backup 0000\n", "line 5: backup needs the 10 data registers, four hex digits each"},
      {head + "option turbo\n", "line 5: unknown option 'turbo'"},
      {head + "end 100\n200 reset\n", "line 6: nothing may follow the end line"},
      {head + "300 reset\nend 100\n", "line 6: the end comes before the last event"},
      {"tarvik-sim record 2\n", "format version 2 is newer than this tarvik-sim reads (version 1)"},
      {"cycle,signal,value\n",
       "line 1: not a tarvik-sim recording (the first line is 'tarvik-sim record 1')"},
      {"", "empty: not a tarvik-sim recording"},
  };
  for (const Case& c : cases) {
    spit(rec, c.text);
    const CommandResult r = run_command(TARVIK_SIM_PATH " --replay " + rec + " </dev/null 2>&1");
    EXPECT_EQ(r.status, 2) << c.error;
    EXPECT_EQ(r.out, "tarvik-sim: --replay " + rec + ": " + c.error + "\n");
  }
  spit(rec, head);
  for (const char* taken : {"--keys up@1s", "--lcd-task", "--reset-at 1", "--motor load=0.1"}) {
    const CommandResult r =
        run_command(TARVIK_SIM_PATH " --replay " + rec + " " + taken + " </dev/null 2>&1");
    EXPECT_EQ(r.status, 2) << taken;
    const std::string option = std::string(taken).substr(0, std::string(taken).find(' '));
    EXPECT_EQ(r.out, "tarvik-sim: " + option + " does not go with --replay (the recording gives it)\n");
  }
  EXPECT_EQ(run_command(TARVIK_SIM_PATH " --replay " + rec + " --pty </dev/null 2>&1").status, 2);
  EXPECT_EQ(
      run_command(TARVIK_SIM_PATH " --replay " + rec + " --record " + rec + ".2 </dev/null 2>&1").status, 2);
  const CommandResult missing = run_command(TARVIK_SIM_PATH " --replay " + rec + ".none </dev/null 2>&1");
  EXPECT_EQ(missing.status, 2);
  EXPECT_EQ(missing.out, "tarvik-sim: --replay " + rec + ".none: No such file or directory\n");
  std::remove(rec.c_str());
}

}  // namespace
