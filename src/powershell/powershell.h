// Runs one PowerShell script in a child process.
#pragma once

#include <optional>
#include <string>

#include "protocol/helper_error.h"

namespace dh {

// Starts PowerShell (find_powershell: on Windows the system's own
// powershell.exe, never one along PATH) with "-NoProfile", "-Command" and
// `script`, drains both output pipes and waits for it. Returns the script's
// standard output, decoded as UTF-8 (invalid sequences replaced) and trimmed
// of Unicode white space. Errors:
// - TOOL_MISSING with the OS text when the program cannot be found or started;
// - UNKNOWN with the trimmed standard error when the exit code is not 0 (or
//   the exit code cannot be read), or "PowerShell command failed" when
//   standard error is blank.
Expected<std::string, HelperError> run_powershell(const std::string& script);

// Tests: run_powershell in this process starts `program` instead, for the
// lifetime of the object. Nothing outside the process can change what the
// helper runs.
class ScopedPowerShellProgram {
 public:
  explicit ScopedPowerShellProgram(std::string program);
  ~ScopedPowerShellProgram();
  ScopedPowerShellProgram(const ScopedPowerShellProgram&) = delete;
  ScopedPowerShellProgram& operator=(const ScopedPowerShellProgram&) = delete;

 private:
  std::optional<std::string> previous_;
};

}  // namespace dh
