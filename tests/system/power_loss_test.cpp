// tarvik-sim killed at random moments while the backup registers change: the
// file it keeps them in must always hold one whole state the unit was in.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "command.h"
#include "backup_file.h"

extern char** environ;

namespace {

using Slots = std::array<uint16_t, 4>;  // slots 1 to 4: data registers 2 to 5

// Starts tarvik-sim on `file` with `input` typed, the line kept open after it.
pid_t start(const std::string& file, const std::string& input, int& feed) {
  int fds[2];
  if (pipe(fds) != 0) return -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[0], STDIN_FILENO);
  posix_spawn_file_actions_addclose(&actions, fds[1]);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  std::string path = TARVIK_SIM_PATH, batch = "--batch", option = "--backup", name = file;
  char* argv[] = {path.data(), batch.data(), option.data(), name.data(), nullptr};
  pid_t pid = -1;
  if (posix_spawn(&pid, TARVIK_SIM_PATH, &actions, nullptr, argv, environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  close(fds[0]);
  if (write(fds[1], input.data(), input.size()) != static_cast<ssize_t>(input.size())) pid = -1;
  feed = fds[1];
  return pid;
}

TEST(PowerLoss, AKilledRunLeavesAWholeBackupFile) {
  char dir_name[] = "/tmp/tarvik-power-XXXXXX";
  const std::string dir = mkdtemp(dir_name);
  const std::string file = dir + "/unit.bkp";
  std::mt19937 random(2024);
  Slots state{};  // what the file holds before each run
  int kills_mid_run = 0;
  bool written = false;

  for (int run = 0; run < 24; ++run) {
    // Every command moves the registers to a new state; the file must hold the
    // state before the run or one of these.
    std::vector<Slots> states{state};
    std::string input;
    for (int i = 0; i < 80; ++i) {
      Slots next = states.back();
      const int slot = static_cast<int>(random() % 4);
      next[slot] = static_cast<uint16_t>(next[slot] + 1 + random() % 60000);
      input += "backup_set " + std::to_string(slot + 1) + " " + std::to_string(next[slot]) + "\r";
      states.push_back(next);
    }
    int feed = -1;
    const pid_t pid = start(file, input, feed);
    ASSERT_GT(pid, 0);
    // The kill falls among the writes: after the first, however slow the start.
    const std::string before = read_file(file);
    for (int i = 0; i < 2000 && read_file(file) == before; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 200000));
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    close(feed);
    ASSERT_TRUE(WIFSIGNALED(status)) << "run " << run << " ended before the kill";

    const std::string bytes = read_file(file);
    board::Bkp::Data data{};
    if (bytes.empty() && !written) continue;  // killed before the first write of all
    written = true;
    ASSERT_TRUE(sim::decode_backup(bytes, data))
        << "run " << run << ": a torn file of " << bytes.size() << " bytes";
    const Slots got{data[1], data[2], data[3], data[4]};
    size_t at = 0;
    while (at < states.size() && states[at] != got) ++at;
    ASSERT_LT(at, states.size()) << "run " << run << ": the file holds a state the unit never was in";
    if (at > 0 && at + 1 < states.size()) ++kills_mid_run;
    state = got;
  }
  // The kills must have fallen among the writes, not only before or after them.
  EXPECT_GE(kills_mid_run, 3);

  // The firmware reads the last state back, and its CRC is that of those values.
  const std::string check =
      "printf 'backup_list\\rbackup_crc\\r' | " TARVIK_SIM_PATH " --batch --backup '" + file + "'";
  const CommandResult r = run_command(check);
  EXPECT_EQ(r.status, 0);
  const std::string& out = r.out;
  std::string listing = "BACKUP registers:\r\n";
  uint32_t crc = 0xFFFFFFFFu;
  for (int i = 0; i < 4; ++i) {
    char line[64];
    std::snprintf(line, sizeof line, "BKP_DR%d : 0x%x(%d)\r\n", i + 1, state[i], state[i]);
    listing += line;
    crc ^= state[i];
    for (int bit = 0; bit < 32; ++bit) crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
  }
  char crc_line[64];
  std::snprintf(crc_line, sizeof crc_line, "Backup CRC: 0x%x(%d)", crc, static_cast<int32_t>(crc));
  EXPECT_NE(out.find(listing), std::string::npos) << out;
  EXPECT_NE(out.find(crc_line), std::string::npos) << out;
  std::system(("rm -rf '" + dir + "'").c_str());
}

}  // namespace
