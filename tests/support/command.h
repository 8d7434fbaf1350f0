// A program run as a user runs it from a shell: what it printed and how it ended.
#pragma once
#include <string>

struct CommandResult {
  std::string out;  // standard output (standard error as the command redirects it)
  int status = -1;  // exit status, -1 if it did not exit
};

CommandResult run_command(const std::string& command);

// A file's whole contents, "" if it cannot be read.
std::string read_file(const std::string& path);
