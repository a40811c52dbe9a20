#include "powershell/powershell.h"

#include "base/text.h"
#include "platform/process.h"

namespace dh {
namespace {

std::optional<std::string>& program_override() {
  static std::optional<std::string> program;
  return program;
}

SysResult<std::string> powershell_program() {
  if (program_override()) return *program_override();
  return find_powershell();
}

// PowerShell's output as text. An encoding that writes a byte-order mark puts
// it first; it is no part of the text.
std::string decode(std::string_view bytes) {
  constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
  if (bytes.substr(0, kByteOrderMark.size()) == kByteOrderMark) bytes.remove_prefix(kByteOrderMark.size());
  return std::string(trim_unicode(utf8_lossy(bytes)));
}

}  // namespace

ScopedPowerShellProgram::ScopedPowerShellProgram(std::string program) : previous_(program_override()) {
  program_override() = std::move(program);
}
ScopedPowerShellProgram::~ScopedPowerShellProgram() { program_override() = previous_; }

Expected<std::string, HelperError> run_powershell(const std::string& script) {
  auto program = powershell_program();
  if (!program) return unexpected(helper_error(ErrorCode::kToolMissing, program.error()));
  auto result = run_process(*program, {"-NoProfile", "-Command", std::string(kUtf8OutputStatement) + script});
  if (!result) return unexpected(helper_error(ErrorCode::kToolMissing, result.error()));
  if (result->exit_code != 0) {
    std::string err = decode(result->err);
    return unexpected(unknown_error(err.empty() ? "PowerShell command failed" : std::move(err)));
  }
  return decode(result->out);
}

}  // namespace dh
