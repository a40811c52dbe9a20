// The apply_customization command: a drive letter for the boot partition
// from Windows disk management, then the files written through it.
#include "customize/boot_files.h"
#include "customize/customize.h"
#include "disks/target.h"
#include "dispatch/payload.h"
#include "platform/drive_letter.h"
#include "powershell/powershell.h"

namespace dh {

std::string drive_letter_script(uint32_t drive_number) {
  const std::string n = std::to_string(drive_number);
  return "$ErrorActionPreference = 'Stop'; Set-Disk -Number " + n +
         " -IsOffline $false -ErrorAction SilentlyContinue; Set-Disk -Number " + n +
         " -IsReadOnly $false -ErrorAction SilentlyContinue; Start-Sleep -Milliseconds 750; "
         "$p = Get-Partition -DiskNumber " + n +
         " -PartitionNumber 1 -ErrorAction Stop; if (-not $p.DriveLetter -or $p.DriveLetter -eq [char]0) "
         "{ Add-PartitionAccessPath -DiskNumber " + n +
         " -PartitionNumber 1 -AssignDriveLetter -ErrorAction Stop; Start-Sleep -Milliseconds 500; } "
         "$p = Get-Partition -DiskNumber " + n + " -PartitionNumber 1 -ErrorAction Stop; [string]$p.DriveLetter";
}

HandlerResult handle_apply_customization(const WindowsHelperRequest& request) {
  auto target = resolve_target_path(request.payload);
  if (!target) return unexpected(std::move(target).error());
  auto drive_number = parse_drive_number(*target);
  if (!drive_number) return unexpected(unknown_error("Could not parse PhysicalDrive number from " + *target));
  const nlohmann::json* files = payload_array(request.payload, "files");
  const std::string cmdline_append = payload_str(request.payload, "cmdlineAppend").value_or("");

  // The runner already trims the output.
  auto letter = run_powershell(drive_letter_script(*drive_number));
  if (!letter) return unexpected(std::move(letter).error());
  if (letter->empty()) return unexpected(unknown_error("Could not assign a drive letter to the boot partition"));
  auto root = drive_letter_root(*letter);
  if (!root) {
    return unexpected(unknown_error("Drive letter " + *letter +
                                    " cannot be reached on this platform: only Windows has drive letters"));
  }

  auto written = customize_boot_partition(*root, files, cmdline_append);
  if (!written) return unexpected(std::move(written).error());
  return nlohmann::json{{"applied", true}, {"driveLetter", *letter}, {"files", *written}};
}

}  // namespace dh
