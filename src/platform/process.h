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

// The PowerShell program the helper runs. On Windows it is the system's own,
// GetSystemDirectoryW() + "\WindowsPowerShell\v1.0\powershell.exe", never
// one found along PATH, in the working folder or beside the helper (an
// elevated helper must not run a program a user could plant). On POSIX,
// where it only serves tests and development, "powershell" along PATH as
// find_program looks it up. Returns the full path, or the OS error when
// there is no such file.
SysResult<std::string> find_powershell();

// Runs `program` (a full path) with `args`, standard input from the null
// device, standard output and error captured. Waits for the exit without a
// time limit. Fails only when the process cannot be started. When the exit
// status cannot be read, the run counts as failed: exit_code is -1 and `err`
// holds the OS error text.
//
// Both pipes are read while the child runs. Once it has exited, whatever it
// started and left running is ended (on Windows its job, on POSIX its process
// group), and the reads finish with everything written until then: a
// grandchild that inherited a pipe cannot hold the call open.
//
// On Windows the child inherits its three standard handles and nothing else,
// and runs in a job object that ends it (and anything it started) when the
// helper's handle to the job closes, that is when this call returns or the
// helper itself ends, killed or not.
SysResult<ProcessOutput> run_process(const std::string& program, const std::vector<std::string>& args);

// The Windows command-line form of one argument (CommandLineToArgvW rules);
// exposed for tests.
std::string quote_windows_argument(const std::string& arg);

std::optional<std::string> get_env(const std::string& name);
void set_env(const std::string& name, const std::string& value);

}  // namespace dh
