// Child processes started from an argument vector, with both output pipes
// drained together.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/sys_error.h"

namespace dh {

struct ProcessOutput {
  int exit_code = 0;
  std::string out;
  std::string err;
};

// Looks `name` up along PATH only: never the current directory, and no
// relative PATH entries, so a program planted in the working directory of an
// elevated helper is not picked up. On Windows ".exe" is appended. Returns the
// full path, or the OS error for "file not found".
SysResult<std::string> find_program(const std::string& name);

// Runs `program` (a full path) with `args`, standard input from the null
// device, standard output and error captured. Waits for the exit without a
// time limit. Fails only when the process cannot be started.
SysResult<ProcessOutput> run_process(const std::string& program, const std::vector<std::string>& args);

// The Windows command-line form of one argument (CommandLineToArgvW rules);
// exposed for tests.
std::string quote_windows_argument(const std::string& arg);

std::optional<std::string> get_env(const std::string& name);
void set_env(const std::string& name, const std::string& value);

}  // namespace dh
