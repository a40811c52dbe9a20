// Runs one PowerShell script in a child process.
#pragma once

#include <string>

#include "dispatch/helper_error.h"

namespace dh {

// Starts `powershell` (looked up along PATH only) with "-NoProfile",
// "-Command" and `script`, drains both output pipes and waits for it.
// Returns the script's standard output, decoded as UTF-8 (invalid sequences
// replaced) and trimmed of Unicode white space. Errors:
// - TOOL_MISSING with the OS text when the program cannot be found or started;
// - UNKNOWN with the trimmed standard error when the exit code is not 0, or
//   "PowerShell command failed" when standard error is blank.
Expected<std::string, HelperError> run_powershell(const std::string& script);

}  // namespace dh
