#include "commands/dispatch.h"

#include <exception>
#include <string_view>

#include "base/text.h"
#include "boot/boot_report.h"
#include "capacity/probe_capacity.h"
#include "customize/customize.h"
#include "disks/list_disks.h"
#include "image/image_commands.h"
#include "rawdisk/target_commands.h"
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
    {"list_disks", handle_list_disks},
    {"write_image", handle_write_image},
    {"verify_hash", handle_verify_hash},
    {"verify_boot", handle_verify_boot},
    {"cancel_task", handle_cancel_task},
    {"prepare_disk", handle_prepare_disk},
    {"read_sectors", handle_read_sectors},
    {"detach_target", handle_detach_target},
    {"finalize_disk", handle_finalize_disk},
    {"probe_capacity", handle_probe_capacity},
    {"image_info", handle_image_info},
    {"image_extract_xz", handle_image_extract_xz},
    {"image_validate_xz", handle_image_validate_xz},
    {"classify_mismatch", handle_classify_mismatch},
    {"apply_customization", handle_apply_customization},
    {"image_uncompressed_size", handle_image_uncompressed_size},
};

}  // namespace

HandlerResult run_handler(Handler handler, const WindowsHelperRequest& request) {
  try {
    return handler(request);
  } catch (const std::exception& e) {
    // The text of a system error may be in the system's code page.
    return unexpected(unknown_error(utf8_lossy(e.what())));
  } catch (...) {
    return unexpected(unknown_error("Unexpected error"));
  }
}

std::vector<std::string_view> command_names() {
  std::vector<std::string_view> names;
  for (const auto& command : kCommands) names.push_back(command.name);
  return names;
}

HandlerResult dispatch(const WindowsHelperRequest& request) {
  for (const auto& command : kCommands) {
    if (command.name == request.command) return run_handler(command.handler, request);
  }
  return unexpected(unknown_error("Unsupported helper command: " + request.command));
}

}  // namespace dh
