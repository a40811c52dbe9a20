// The two built-in commands: health (the version, and whether the helper runs
// elevated, asked of PowerShell) and cancel_task.
#include "base/text.h"
#include "commands/dispatch.h"
#include "powershell/powershell.h"

namespace dh {

HandlerResult handle_health(const WindowsHelperRequest& request) {
  auto output = run_powershell(
      "([Security.Principal.WindowsPrincipal] [Security.Principal.WindowsIdentity]::GetCurrent())"
      ".IsInRole([Security.Principal.WindowsBuiltInRole]::Administrator)");
  DH_TRY(output);
  bool elevated = ascii_lower(*output).find("true") != std::string::npos;
  return nlohmann::json{{"helperVersion", DISK_HELPER_VERSION},
                        {"isElevated", elevated},
                        {"ok", true},
                        {"platform", "windows"},
                        {"sessionId", request.session_id}};
}

HandlerResult handle_cancel_task(const WindowsHelperRequest&) {
  // Helper processes share nothing, so there is nothing to cancel here; the
  // desktop application ends the running helper itself.
  return nlohmann::json{{"canceled", true}};
}

}  // namespace dh
