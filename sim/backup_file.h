// The backup domain's battery, on the host: the BKP data registers kept in a file
// across runs of tarvik-sim.
//
// File format (30 bytes): the magic "TVKBKP", a 16-bit format version (1), a
// 16-bit register count (10), then BKP_DR1 to BKP_DR10, 16 bits each; every
// number little-endian. A file is always replaced whole (a temporary file in
// the same folder, synced, then renamed over it), so a run killed at any moment
// leaves either the old or the new contents; a temporary file that such a kill
// left behind is removed by a later run once it is a minute old.
#pragma once
#include <string>

#include "bkp.h"
#include "sim.h"

namespace sim {

std::string encode_backup(const board::Bkp::Data& data);
// False when `bytes` is not a backup file of this format.
bool decode_backup(const std::string& bytes, board::Bkp::Data& data);

// $XDG_STATE_HOME/tarvik/backup.bin, else ~/.local/state/tarvik/backup.bin;
// empty when neither folder is known.
std::string default_backup_path();
// The file the options keep the domain in: --backup, else the default in
// interactive mode; empty for none (batch runs start cleared and keep nothing).
std::string backup_path(const Options& options);

// Reads `path` into `data`; a missing file reads as a cleared domain. Returns
// the problem, or empty.
std::string read_backup_file(const std::string& path, board::Bkp::Data& data);
// Replaces `path` atomically; `make_folder` creates its folder first. Returns
// the problem, or empty.
std::string write_backup_file(const std::string& path, const board::Bkp::Data& data, bool make_folder);

// What stands in the way of the options' backup file, for the command line:
// empty when there is no file, or it is absent or readable as one.
std::string backup_file_problem(const Options& options);

// Keeps a board's backup domain in its file for one run: loaded (or cleared) at
// construction, written whenever it has changed, and at the end.
class BackupKeeper {
 public:
  BackupKeeper(const Options& options, board::Bkp& bkp);
  // Writes the domain if it changed since it was last written.
  void sync();
  // The last write; returns what is to be reported (empty if nothing).
  std::string finish();

 private:
  void write();
  board::Bkp& bkp_;
  std::string path_;  // empty: nothing kept
  bool make_folder_ = false;
  bool dirty_ = false;  // to be written even if equal to written_
  board::Bkp::Data written_{};
  std::string problem_;
};

}  // namespace sim
