#include "dispatch/dispatch.h"

#include <string_view>

#include "boot/boot_report.h"

namespace dh {
namespace {

struct Command {
  std::string_view name;
  Handler handler;
};

constexpr Command kCommands[] = {
    {"health", handle_health},
    {"cancel_task", handle_cancel_task},
    {"verify_boot", handle_verify_boot},
};

}  // namespace

HandlerResult dispatch(const WindowsHelperRequest& request) {
  for (const auto& command : kCommands) {
    if (command.name == request.command) return command.handler(request);
  }
  return unexpected(unknown_error("Unsupported helper command: " + request.command));
}

}  // namespace dh
