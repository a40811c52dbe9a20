#include "powershell/powershell.h"

#include "platform/process.h"
#include "platform/text.h"

namespace dh {

Expected<std::string, HelperError> run_powershell(const std::string& script) {
  auto program = find_program("powershell");
  if (!program) return unexpected(helper_error(error_code::kToolMissing, program.error()));
  auto result = run_process(*program, {"-NoProfile", "-Command", script});
  if (!result) return unexpected(helper_error(error_code::kToolMissing, result.error()));
  if (result->exit_code != 0) {
    std::string err(trim_unicode(utf8_lossy(result->err)));
    return unexpected(unknown_error(err.empty() ? "PowerShell command failed" : std::move(err)));
  }
  return std::string(trim_unicode(utf8_lossy(result->out)));
}

}  // namespace dh
