// Runs one PowerShell script in a child process.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "protocol/helper_error.h"

namespace dh {

// The statement run_powershell puts before every script. Windows PowerShell
// 5.1 writes redirected output in the console's OEM code page (437, 850...),
// so non-ASCII disk names and localized error texts would arrive garbled;
// after this statement it writes standard output and standard error as
// UTF-8 without a byte-order mark. It sets the code page of the console
// PowerShell runs with, which on Windows is a console of its own without a
// window (CREATE_NO_WINDOW), not the one of the helper's caller.
inline constexpr std::string_view kUtf8OutputStatement =
    "[Console]::OutputEncoding = New-Object System.Text.UTF8Encoding $false; ";

// Starts PowerShell (find_powershell: on Windows the system's own
// powershell.exe, never one along PATH) with "-NoProfile", "-Command" and
// kUtf8OutputStatement followed by `script` unchanged, drains both output
// pipes and waits for it. Returns the script's standard output, decoded as
// UTF-8 (invalid sequences replaced, a leading byte-order mark dropped) and
// trimmed of Unicode white space. Errors:
// - TOOL_MISSING with the OS text when the program cannot be found or started;
// - UNKNOWN with the standard error, decoded and trimmed the same way, when
//   the exit code is not 0 (or the exit code cannot be read), or
//   "PowerShell command failed" when standard error is blank.
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
