// The apply_customization command: a drive letter for the boot partition
// from Windows disk management, then the files written through it.
#include "customize/boot_files.h"
#include "customize/boot_names.h"
#include "customize/customize.h"
#include "disks/target.h"
#include "platform/drive_letter.h"
#include "platform/file.h"
#include "powershell/powershell.h"
#include "protocol/payload.h"
#include "rawdisk/target_guard.h"

namespace dh {
namespace {

// `text` as a JSON string, so that control characters and quotes show.
std::string as_json_string(const std::string& text) {
  return nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace

std::string drive_letter_script(uint32_t drive_number) {
  const std::string n = std::to_string(drive_number);
  return "$ErrorActionPreference = 'Stop'; Set-Disk -Number " + n +
         " -IsOffline $false -ErrorAction SilentlyContinue; Set-Disk -Number " + n +
         " -IsReadOnly $false -ErrorAction SilentlyContinue; Start-Sleep -Milliseconds 750; "
         "$p = Get-Partition -DiskNumber " +
         n +
         " -PartitionNumber 1 -ErrorAction Stop; if (-not $p.DriveLetter -or $p.DriveLetter -eq [char]0) "
         "{ Add-PartitionAccessPath -DiskNumber " +
         n +
         " -PartitionNumber 1 -AssignDriveLetter -ErrorAction Stop; Start-Sleep -Milliseconds 500; } "
         "$p = Get-Partition -DiskNumber " +
         n + " -PartitionNumber 1 -ErrorAction Stop; [string]$p.DriveLetter";
}

HandlerResult handle_apply_customization(const WindowsHelperRequest& request) {
  auto target = resolve_target_path(request.payload);
  DH_TRY(target);
  // Every name is checked before the disk is asked or touched, so a bad one
  // leaves nothing written.
  const nlohmann::json* files = payload_array(request.payload, "files");
  DH_TRY(check_boot_file_names(files));
  auto drive_number = parse_drive_number(*target);
  DH_TRY(check_disk_target(*target, drive_number));
  if (!drive_number) return unexpected(unknown_error("Could not parse PhysicalDrive number from " + *target));
  const std::string cmdline_append = payload_str(request.payload, "cmdlineAppend").value_or("");

  // The runner already trims the output.
  auto letter = run_powershell(drive_letter_script(*drive_number));
  DH_TRY(letter);
  if (letter->empty()) return unexpected(unknown_error("Could not assign a drive letter to the boot partition"));
  // Anything but one letter (a warning printed first, "E:", an error text)
  // would make the file names relative to some other folder.
  if (!is_drive_letter(*letter)) {
    return unexpected(
        unknown_error("PowerShell printed no drive letter for the boot partition: " + as_json_string(*letter)));
  }
  auto root = drive_letter_root(*letter);
  if (!root) {
    return unexpected(unknown_error("Drive letter " + *letter +
                                    " cannot be reached on this platform: only Windows has drive letters"));
  }

  auto written = customize_boot_partition(*root, files, cmdline_append);
  DH_TRY(written);
  // Each file was flushed on its own, but the replacement of cmdline.txt waits
  // only for the rename itself (MOVEFILE_WRITE_THROUGH), and the volume's own
  // structures may still be held in the system's cache: a card pulled after
  // the answer could lose them. The answer waits for the whole volume.
  if (!written->empty()) {
    auto flushed = file_system().flush_volume(*root);
    if (!flushed) return unexpected(helper_error(ErrorCode::kWriteFailed, flushed.error().prefixed(*root + ": ")));
  }
  return nlohmann::json{{"applied", true}, {"driveLetter", *letter}, {"files", *written}};
}

Expected<void, HelperError> check_boot_file_names(const nlohmann::json* files) {
  if (files == nullptr) return {};
  for (const auto& element : *files) {
    auto path = payload_str(element, "path");
    if (!path) continue;
    if (auto problem = boot_path_problem(*path)) {
      return unexpected(unknown_error("Refusing files[].path " + as_json_string(*path) + ": " + *problem));
    }
  }
  return {};
}

}  // namespace dh
