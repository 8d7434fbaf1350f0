// tarvik-sim's file for the backup domain: format, where it lives, how it is written.
#include "backup_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>

#include "pwr.h"

namespace {

class TempDir {
 public:
  TempDir() {
    char name[] = "/tmp/tarvik-bkp-XXXXXX";
    path_ = mkdtemp(name);
  }
  ~TempDir() { std::system(("rm -rf '" + path_ + "'").c_str()); }
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  // Names in the folder, sorted.
  std::string listing(const std::string& sub = "") const {
    std::string out;
    DIR* d = opendir((path_ + sub).c_str());
    if (d == nullptr) return "<none>";
    std::vector<std::string> names;
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.') names.push_back(e->d_name);
    closedir(d);
    std::sort(names.begin(), names.end());
    for (const auto& n : names) out += n + " ";
    return out;
  }

 private:
  std::string path_;
};

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void spit(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

board::Bkp::Data sample() {
  board::Bkp::Data d{};
  d[0] = 0x1234;
  d[3] = 77;
  d[9] = 0xFFFF;
  return d;
}

TEST(BackupFile, OnlyItsOwnFormatReadsBack) {
  const std::string good = sim::encode_backup(sample());
  board::Bkp::Data d;
  ASSERT_TRUE(sim::decode_backup(good, d));
  EXPECT_EQ(d, sample());
  EXPECT_FALSE(sim::decode_backup("", d));
  EXPECT_FALSE(sim::decode_backup(good.substr(0, 29), d));
  EXPECT_FALSE(sim::decode_backup(good + "x", d));
  std::string other = good;
  other[0] = 'X';
  EXPECT_FALSE(sim::decode_backup(other, d));
  other = good;
  other[6] = 2;  // a later format
  EXPECT_FALSE(sim::decode_backup(other, d));
  other = good;
  other[8] = 9;  // another register count
  EXPECT_FALSE(sim::decode_backup(other, d));
}

TEST(BackupFile, DefaultPathFollowsTheStateDirectory) {
  setenv("HOME", "/home/op", 1);
  setenv("XDG_STATE_HOME", "/var/state", 1);
  EXPECT_EQ(sim::default_backup_path(), "/var/state/tarvik/backup.bin");
  setenv("XDG_STATE_HOME", "relative", 1);  // not a valid base directory
  EXPECT_EQ(sim::default_backup_path(), "/home/op/.local/state/tarvik/backup.bin");
  unsetenv("XDG_STATE_HOME");
  EXPECT_EQ(sim::default_backup_path(), "/home/op/.local/state/tarvik/backup.bin");
  unsetenv("HOME");
  EXPECT_EQ(sim::default_backup_path(), "");

  setenv("XDG_STATE_HOME", "/var/state", 1);
  sim::Options o;
  o.mode = sim::Options::Mode::batch;
  EXPECT_EQ(sim::backup_path(o), "");  // batch runs keep nothing by default
  o.mode = sim::Options::Mode::interactive;
  EXPECT_EQ(sim::backup_path(o), "/var/state/tarvik/backup.bin");
  o.backup_file = "mine.bin";
  EXPECT_EQ(sim::backup_path(o), "mine.bin");
}

TEST(BackupFile, WriteReplacesWholeAndLeavesNothingBeside) {
  TempDir dir;
  const std::string path = dir.file("b.bin");
  board::Bkp::Data d{};
  ASSERT_EQ(sim::read_backup_file(path, d), "");  // absent: a cleared domain
  EXPECT_EQ(d, board::Bkp::Data{});
  ASSERT_EQ(sim::write_backup_file(path, sample(), false), "");
  EXPECT_EQ(slurp(path), sim::encode_backup(sample()));
  d = {};
  d[1] = 5;
  ASSERT_EQ(sim::write_backup_file(path, d, false), "");
  EXPECT_EQ(slurp(path), sim::encode_backup(d));
  EXPECT_EQ(dir.listing(), "b.bin ");

  const std::string deep = dir.file("state/tarvik/backup.bin");
  EXPECT_NE(sim::write_backup_file(deep, d, false), "");  // its folder is not there
  EXPECT_EQ(dir.listing(), "b.bin ");
  ASSERT_EQ(sim::write_backup_file(deep, d, true), "");
  EXPECT_EQ(dir.listing("/state/tarvik"), "backup.bin ");
}

TEST(BackupFile, KeeperLoadsWritesChangesAndFinishes) {
  TempDir dir;
  const std::string path = dir.file("b.bin");
  spit(path, sim::encode_backup(sample()));
  board::Pwr pwr;
  board::Bkp bkp{pwr};
  sim::Options o;
  o.backup_file = path;
  sim::BackupKeeper keeper(o, bkp);
  EXPECT_EQ(bkp.snapshot(), sample());

  board::Bkp::Data changed = sample();
  changed[2] = 99;
  bkp.load(changed);
  keeper.sync();
  EXPECT_EQ(slurp(path), sim::encode_backup(changed));  // at once, not only at the end
  std::remove(path.c_str());
  keeper.sync();  // nothing changed: nothing written
  EXPECT_EQ(dir.listing(), "");
  EXPECT_EQ(keeper.finish(), "");
  EXPECT_EQ(slurp(path), sim::encode_backup(changed));
}

// A kill in the middle of a write leaves its temporary file; the next run clears
// those old enough to belong to no live run, and nothing else.
TEST(BackupFile, KeeperRemovesTemporariesOfKilledRuns) {
  TempDir dir;
  const std::string path = dir.file("b.bin");
  spit(path, sim::encode_backup(sample()));
  for (const char* name : {"b.bin.Ab12Cd", "b.bin.fresh1", "b.bin.notes", "b.bin.x-y_z1", "c.bin.Ab12Cd"})
    spit(dir.file(name), "x");
  const timespec old_times[2] = {{time(nullptr) - 3600, 0}, {time(nullptr) - 3600, 0}};
  for (const char* name : {"b.bin.Ab12Cd", "b.bin.notes", "b.bin.x-y_z1", "c.bin.Ab12Cd"})
    ASSERT_EQ(utimensat(AT_FDCWD, dir.file(name).c_str(), old_times, 0), 0);
  board::Pwr pwr;
  board::Bkp bkp{pwr};
  sim::Options o;
  o.backup_file = path;
  sim::BackupKeeper keeper(o, bkp);
  EXPECT_EQ(dir.listing(), "b.bin b.bin.fresh1 b.bin.notes b.bin.x-y_z1 c.bin.Ab12Cd ");
  EXPECT_EQ(bkp.snapshot(), sample());
}

// Runs that bypass the command line's check (the tests' own) still never write it.
TEST(BackupFile, KeeperLeavesAForeignFileAlone) {
  TempDir dir;
  const std::string path = dir.file("notes.txt");
  spit(path, "my notes\n");
  board::Pwr pwr;
  board::Bkp bkp{pwr};
  bkp.load(sample());
  sim::Options o;
  o.backup_file = path;
  sim::BackupKeeper keeper(o, bkp);
  EXPECT_EQ(bkp.snapshot(), board::Bkp::Data{});  // started cleared
  bkp.load(sample());
  keeper.sync();
  EXPECT_NE(keeper.finish().find("is not a tarvik-sim backup file"), std::string::npos);
  EXPECT_EQ(slurp(path), "my notes\n");
}

TEST(BackupFile, InteractiveRunsKeepTheDomainInTheStateDirectory) {
  TempDir dir;
  setenv("XDG_STATE_HOME", dir.path().c_str(), 1);
  board::Pwr pwr;
  board::Bkp bkp{pwr};
  sim::Options o;
  o.mode = sim::Options::Mode::interactive;
  {
    sim::BackupKeeper keeper(o, bkp);
    bkp.load(sample());
    EXPECT_EQ(keeper.finish(), "");
  }
  EXPECT_EQ(slurp(dir.file("tarvik/backup.bin")), sim::encode_backup(sample()));
  board::Bkp again{pwr};
  sim::BackupKeeper keeper(o, again);
  EXPECT_EQ(again.snapshot(), sample());
}

}  // namespace
