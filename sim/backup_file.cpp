#include "backup_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace sim {

namespace {

constexpr char kMagic[] = "TVKBKP";
constexpr size_t kMagicSize = sizeof kMagic - 1;
constexpr uint16_t kVersion = 1;
constexpr size_t kFileSize = kMagicSize + 2 + 2 + 2 * board::Bkp::kDataRegisters;

void put16(std::string& out, uint16_t v) {
  out.push_back(static_cast<char>(v & 0xFF));
  out.push_back(static_cast<char>(v >> 8));
}

uint16_t get16(const std::string& in, size_t at) {
  return static_cast<uint16_t>(static_cast<uint8_t>(in[at]) | static_cast<uint8_t>(in[at + 1]) << 8);
}

std::string folder_of(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string failed(const std::string& what, const std::string& path) {
  return "cannot " + what + " " + path + ": " + std::strerror(errno);
}

// mkdir -p
bool make_folders(const std::string& folder) {
  for (size_t at = 1; at <= folder.size(); ++at) {
    if (at < folder.size() && folder[at] != '/') continue;
    const std::string part = folder.substr(0, at);
    if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
  }
  return true;
}

bool write_all(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// The temporary files of writes cut short by a kill: "NAME.XXXXXX" beside the
// file, as mkstemp names them. A write renames its own within a moment, so one
// older than this belongs to no live run.
constexpr time_t kStaleAfterSeconds = 60;

void remove_stale_temporaries(const std::string& path) {
  const size_t slash = path.rfind('/');
  const std::string folder = folder_of(path);
  const std::string prefix = (slash == std::string::npos ? path : path.substr(slash + 1)) + ".";
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return;
  const time_t now = time(nullptr);
  while (const dirent* e = readdir(dir)) {
    const std::string name = e->d_name;
    if (name.size() != prefix.size() + 6 || name.compare(0, prefix.size(), prefix) != 0) continue;
    bool made_by_mkstemp = true;
    for (size_t i = prefix.size(); i < name.size(); ++i)
      made_by_mkstemp = made_by_mkstemp && std::isalnum(static_cast<unsigned char>(name[i]));
    const std::string temporary = folder + "/" + name;
    struct stat st;
    if (made_by_mkstemp && lstat(temporary.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
        now - st.st_mtime > kStaleAfterSeconds)
      unlink(temporary.c_str());
  }
  closedir(dir);
}

}  // namespace

std::string encode_backup(const board::Bkp::Data& data) {
  std::string out(kMagic, kMagicSize);
  put16(out, kVersion);
  put16(out, static_cast<uint16_t>(data.size()));
  for (uint16_t reg : data) put16(out, reg);
  return out;
}

bool decode_backup(const std::string& bytes, board::Bkp::Data& data) {
  if (bytes.size() != kFileSize || bytes.compare(0, kMagicSize, kMagic) != 0) return false;
  if (get16(bytes, kMagicSize) != kVersion || get16(bytes, kMagicSize + 2) != data.size()) return false;
  for (size_t i = 0; i < data.size(); ++i) data[i] = get16(bytes, kMagicSize + 4 + 2 * i);
  return true;
}

std::string default_backup_path() {
  // A relative XDG_STATE_HOME does not count, as for every XDG base folder.
  const char* state = std::getenv("XDG_STATE_HOME");
  if (state != nullptr && state[0] == '/') return std::string(state) + "/tarvik/backup.bin";
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] != '\0') return std::string(home) + "/.local/state/tarvik/backup.bin";
  return "";
}

std::string backup_path(const Options& options) {
  if (!options.backup_file.empty()) return options.backup_file;
  return options.mode == Options::Mode::interactive ? default_backup_path() : "";
}

std::string read_backup_file(const std::string& path, board::Bkp::Data& data) {
  data = {};
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return errno == ENOENT ? "" : failed("read", path);
  std::string bytes(kFileSize + 1, '\0');  // one more, to see a longer file
  bytes.resize(std::fread(bytes.data(), 1, bytes.size(), f));
  const bool error = std::ferror(f) != 0;
  std::fclose(f);
  if (error) return failed("read", path);
  if (!decode_backup(bytes, data)) {
    data = {};
    return path + " is not a tarvik-sim backup file";
  }
  return "";
}

std::string write_backup_file(const std::string& path, const board::Bkp::Data& data, bool make_folder) {
  const std::string folder = folder_of(path);
  if (make_folder && !make_folders(folder)) return failed("create the folder", folder);
  std::string temporary = path + ".XXXXXX";
  const int fd = mkstemp(temporary.data());
  if (fd < 0) return failed("create a file beside", path);
  const bool written = write_all(fd, encode_backup(data)) && fsync(fd) == 0;
  const std::string problem = written ? "" : failed("write", temporary);
  if (close(fd) != 0 || !problem.empty() || std::rename(temporary.c_str(), path.c_str()) != 0) {
    const std::string why = problem.empty() ? failed("replace", path) : problem;
    unlink(temporary.c_str());
    return why;
  }
  // The rename itself lasts once the folder is synced.
  const int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY);
  if (dir >= 0) {
    fsync(dir);
    close(dir);
  }
  return "";
}

std::string backup_file_problem(const Options& options) {
  const std::string path = backup_path(options);
  if (path.empty()) return "";
  // The default folder is made when needed; a named one must be there already.
  const std::string folder = folder_of(path);
  if (!options.backup_file.empty() && access(folder.c_str(), W_OK | X_OK) != 0)
    return failed("keep the backup file in", folder);
  board::Bkp::Data data;
  const std::string problem = read_backup_file(path, data);
  // Checked even when the battery is removed: the file would be overwritten.
  return problem.empty() ? "" : problem + " (it is left alone; name another with --backup)";
}

BackupKeeper::BackupKeeper(const Options& options, board::Bkp& bkp)
    : bkp_(bkp), path_(backup_path(options)), make_folder_(options.backup_file.empty()) {
  bkp_.reset_domain();
  if (path_.empty()) {
    if (options.mode == Options::Mode::interactive)
      problem_ =
          "no state folder known (neither XDG_STATE_HOME nor HOME is set): the backup domain was not kept";
    return;
  }
  if (options.battery_removed) {
    dirty_ = true;  // the file learns of the lost battery at once
    return;
  }
  board::Bkp::Data data;
  const std::string problem = read_backup_file(path_, data);
  if (!problem.empty()) {
    problem_ = problem + ": the run started cleared and the file was left alone";
    path_.clear();
    return;
  }
  bkp_.load(data);
  written_ = data;
  remove_stale_temporaries(path_);
}

void BackupKeeper::sync() {
  if (path_.empty()) return;
  if (dirty_ || bkp_.snapshot() != written_) write();
}

void BackupKeeper::write() {
  const board::Bkp::Data data = bkp_.snapshot();
  const std::string problem = write_backup_file(path_, data, make_folder_);
  if (!problem.empty()) {
    // Given up for this run: one report, not one a slice.
    problem_ = problem + ": the backup domain was not kept";
    path_.clear();
    return;
  }
  written_ = data;
  dirty_ = false;
}

std::string BackupKeeper::finish() {
  if (!path_.empty()) write();
  return problem_.empty() ? "" : "tarvik-sim: " + problem_ + "\n";
}

}  // namespace sim
