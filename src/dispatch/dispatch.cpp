#include "dispatch/dispatch.h"

#include <string_view>

#include "write/classify_mismatch.h"
#include "write/write_image.h"

namespace dh {
namespace {

struct Command {
  std::string_view name;
  Handler handler;
};

constexpr Command kCommands[] = {
    {"health", handle_health},
    {"cancel_task", handle_cancel_task},
    {"write_image", handle_write_image},
    {"classify_mismatch", handle_classify_mismatch},
};

}  // namespace

HandlerResult dispatch(const WindowsHelperRequest& request) {
  for (const auto& command : kCommands) {
    if (command.name == request.command) return command.handler(request);
  }
  return unexpected(unknown_error("Unsupported helper command: " + request.command));
}

}  // namespace dh
