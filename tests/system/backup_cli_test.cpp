// The backup domain kept across runs of tarvik-sim, as a user runs it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "command.h"

extern char** environ;

namespace {

struct Output {
  std::string out, err;
  int status;
};

class BackupCli : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/tarvik-cli-XXXXXX";
    dir_ = mkdtemp(name);
    file_ = dir_ + "/unit.bkp";
  }
  void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }

  // Runs the build's tarvik-sim with `input` on standard input.
  Output run(const std::string& input, const std::string& args, const std::string& env = "") {
    const std::string err = dir_ + "/stderr";
    const std::string cmd =
        env + " printf '" + input + "' | " TARVIK_SIM_PATH " --batch " + args + " 2>'" + err + "'";
    const CommandResult r = run_command(cmd);
    return Output{r.out, read_file(err), r.status};
  }

  static bool has(const Output& o, const std::string& text) { return o.out.find(text) != std::string::npos; }

  std::string dir_, file_;
};

TEST_F(BackupCli, ValuesSurviveARestartWithTheSameFile) {
  const Output first = run("backup_set 3 77\\rbackup_set 1 0x1234\\r", "--backup " + file_);
  ASSERT_EQ(first.status, 0) << first.err;
  // Slot n is data register n + 1: DR2 and DR4, little-endian after the header.
  const std::string bytes = read_file(file_);
  ASSERT_EQ(bytes.size(), 30u);
  EXPECT_EQ(bytes.substr(0, 10), std::string("TVKBKP\x01\x00\x0a\x00", 10));
  EXPECT_EQ(bytes.substr(12, 2), "\x34\x12");
  EXPECT_EQ(bytes.substr(16, 2), std::string("\x4d\x00", 2));

  const Output second = run("backup_list\\r", "--backup " + file_);
  EXPECT_TRUE(has(second, "BKP_DR1 : 0x1234(4660)\r\nBKP_DR2 : 0x0(0)\r\nBKP_DR3 : 0x4d(77)\r\n"))
      << second.out;
  EXPECT_EQ(second.status, 0);
  EXPECT_EQ(second.err, "");
}

TEST_F(BackupCli, RemovedBatteryAndPlainBatchRunsStartCleared) {
  ASSERT_EQ(run("backup_set 2 5\\r", "--backup " + file_).status, 0);
  // Batch runs without --backup neither read nor write the user's state folder.
  const Output plain = run("backup_get 2\\r", "", "XDG_STATE_HOME='" + dir_ + "'");
  EXPECT_TRUE(has(plain, "Result: 0x0(0)")) << plain.out;
  EXPECT_NE(access((dir_ + "/tarvik").c_str(), F_OK), 0);

  const Output removed = run("backup_get 2\\r", "--backup " + file_ + " --battery-removed");
  EXPECT_TRUE(has(removed, "Result: 0x0(0)")) << removed.out;
  const Output after = run("backup_get 2\\r", "--backup " + file_);
  EXPECT_TRUE(has(after, "Result: 0x0(0)")) << after.out;
}

TEST_F(BackupCli, AFileThatIsNotOursIsRefusedUntouched) {
  const std::string notes = dir_ + "/notes.txt";
  std::ofstream(notes) << "my notes\n";
  for (const char* extra : {"", " --battery-removed"}) {
    const Output o = run("backup_set 1 1\\r", "--backup " + notes + extra);
    EXPECT_EQ(o.status, 2);
    EXPECT_EQ(o.out, "");  // the board never ran
    EXPECT_NE(o.err.find("is not a tarvik-sim backup file"), std::string::npos) << o.err;
  }
  EXPECT_EQ(read_file(notes), "my notes\n");
  EXPECT_EQ(run("", "--backup " + dir_ + "/missing/unit.bkp").status, 2);
  EXPECT_EQ(run("", "--backup").status, 2);
}

// Killed while it runs: the value set before the kill is in the file, whole.
TEST_F(BackupCli, AKilledRunKeepsTheLastValue) {
  int pipe_fds[2];
  ASSERT_EQ(pipe(pipe_fds), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipe_fds[0], STDIN_FILENO);
  posix_spawn_file_actions_addclose(&actions, pipe_fds[1]);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  std::string path = TARVIK_SIM_PATH, batch = "--batch", option = "--backup";
  char* argv[] = {path.data(), batch.data(), option.data(), file_.data(), nullptr};
  pid_t pid;
  ASSERT_EQ(posix_spawn(&pid, TARVIK_SIM_PATH, &actions, nullptr, argv, environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  close(pipe_fds[0]);
  // The blanks after the command keep it fed until the command has run; then
  // it waits for more input that never comes.
  const std::string input = "backup_set 4 99\r    ";
  ASSERT_EQ(write(pipe_fds[1], input.data(), input.size()), static_cast<ssize_t>(input.size()));

  const std::string want = std::string("\x63\x00", 2);  // DR5 = 99
  bool seen = false;
  for (int i = 0; i < 200 && !seen; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const std::string bytes = read_file(file_);
    seen = bytes.size() == 30 && bytes.substr(18, 2) == want;
  }
  kill(pid, SIGKILL);
  int status;
  waitpid(pid, &status, 0);
  close(pipe_fds[1]);
  EXPECT_TRUE(seen) << "the value did not reach the file while the run went on";
  EXPECT_TRUE(WIFSIGNALED(status));
  const Output next = run("backup_get 4\\r", "--backup " + file_);
  EXPECT_TRUE(has(next, "Result: 0x63(99)")) << next.out;
}

// --reset-at: the firmware starts over at each time given, in any order, and the
// file holds across the resets what was written before them.
TEST_F(BackupCli, ResetsOnTheWayKeepTheFileAndStartTheFirmwareOver) {
  const std::string banner = run("", "--until 1").out;
  ASSERT_FALSE(banner.empty());
  const Output o = run("backup_set 3 77\\r", "--backup " + file_ + " --until 5 --reset-at 4,2.5");
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out, banner + "backup_set 3 77\r\nResult OK.\r\nconsole>" + banner + banner);
  const Output next = run("backup_get 3\\r", "--backup " + file_);
  EXPECT_TRUE(has(next, "Result: 0x4d(77)")) << next.out;

  EXPECT_NE(run("", "--help").out.find("--reset-at"), std::string::npos);
  for (const char* bad :
       {"--reset-at", "--reset-at x", "--reset-at 1,,2", "--reset-at -1", "--reset-at 1,inf"}) {
    const Output refused = run("", bad);
    EXPECT_EQ(refused.status, 2) << bad;
    EXPECT_TRUE(refused.out.empty()) << bad;
    EXPECT_NE(refused.err.find("--reset-at"), std::string::npos) << bad << ": " << refused.err;
  }
}

}  // namespace
