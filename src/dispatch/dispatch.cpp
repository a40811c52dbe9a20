#include "dispatch/dispatch.h"

#include <string_view>

#include "image/image_commands.h"

namespace dh {
namespace {

struct Command {
  std::string_view name;
  Handler handler;
};

constexpr Command kCommands[] = {
    {"health", handle_health},
    {"cancel_task", handle_cancel_task},
    {"image_validate_xz", handle_image_validate_xz},
    {"image_uncompressed_size", handle_image_uncompressed_size},
    {"image_extract_xz", handle_image_extract_xz},
    {"verify_hash", handle_verify_hash},
};

}  // namespace

HandlerResult dispatch(const WindowsHelperRequest& request) {
  for (const auto& command : kCommands) {
    if (command.name == request.command) return command.handler(request);
  }
  return unexpected(unknown_error("Unsupported helper command: " + request.command));
}

}  // namespace dh
