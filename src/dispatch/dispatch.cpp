#include "dispatch/dispatch.h"

#include <string_view>

#include "customize/customize.h"
#include "disks/list_disks.h"
#include "rawdisk/target_commands.h"
#include "boot/boot_report.h"
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
    {"apply_customization", handle_apply_customization},
    {"list_disks", handle_list_disks},
    {"prepare_disk", handle_prepare_disk},
    {"read_sectors", handle_read_sectors},
    {"detach_target", handle_detach_target},
    {"finalize_disk", handle_finalize_disk},
    {"verify_boot", handle_verify_boot},
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
