#include "rawdisk/target_commands.h"

#include "base/text.h"
#include "disks/target.h"
#include "powershell/powershell.h"
#include "protocol/payload.h"
#include "rawdisk/raw_access.h"
#include "rawdisk/target_guard.h"
#include "rawdisk/volume_lock.h"

namespace dh {
namespace {

using nlohmann::json;

constexpr const char* kNoPhysicalDrive = "Could not parse PhysicalDrive number from ";

}  // namespace

std::string prepare_disk_script(uint32_t disk) {
  return "$ErrorActionPreference = 'Stop'; Set-Disk -Number " + std::to_string(disk) +
         " -IsReadOnly $false -ErrorAction Stop";
}

std::string finalize_disk_script(uint32_t disk) {
  return "$ErrorActionPreference = 'Stop'; Set-Disk -Number " + std::to_string(disk) +
         " -IsOffline $false -ErrorAction Stop";
}

std::string detach_target_script(uint32_t disk) {
  const std::string n = std::to_string(disk);
  return "$ErrorActionPreference = 'Continue'; $partitions = Get-Partition -DiskNumber " + n +
         " -ErrorAction SilentlyContinue; if ($partitions) { foreach ($p in $partitions) { if ($p.DriveLetter -and "
         "$p.DriveLetter -ne [char]0) { $path = $p.DriveLetter.ToString() + ':\\'; Remove-PartitionAccessPath "
         "-DiskNumber " +
         n +
         " -PartitionNumber $p.PartitionNumber -AccessPath $path -ErrorAction SilentlyContinue; } $vol = Get-Volume "
         "-Partition $p -ErrorAction SilentlyContinue; if ($vol) { Dismount-Volume -InputObject $vol -ErrorAction "
         "SilentlyContinue } } }";
}

HandlerResult handle_prepare_disk(const WindowsHelperRequest& request) {
  auto path = resolve_target_path(request.payload);
  DH_TRY(path);
  auto disk = parse_drive_number(*path);
  DH_TRY(check_disk_target(*path, disk));
  if (!disk) return unexpected(unknown_error("Unable to parse drive number from " + *path));
  DH_TRY(run_powershell(prepare_disk_script(*disk)));
  return json{{"prepared", true}, {"osDevicePath", *path}};
}

HandlerResult handle_finalize_disk(const WindowsHelperRequest& request) {
  auto path = resolve_target_path(request.payload);
  DH_TRY(path);
  auto disk = parse_drive_number(*path);
  DH_TRY(check_disk_target(*path, disk));
  if (!disk) return unexpected(unknown_error(kNoPhysicalDrive + *path));
  DH_TRY(run_powershell(finalize_disk_script(*disk)));
  return json{{"finalized", true}};
}

HandlerResult handle_detach_target(const WindowsHelperRequest& request) {
  auto path = resolve_target_path(request.payload);
  DH_TRY(path);
  std::vector<std::string> warnings;
  auto disk = parse_drive_number(*path);
  DH_TRY(check_disk_target(*path, disk));
  if (!disk) {
    warnings.push_back(kNoPhysicalDrive + *path);
    return json{{"detached", true}, {"warnings", warnings}};
  }
  if (auto ran = run_powershell(detach_target_script(*disk)); !ran) {
    warnings.push_back("PowerShell detach step (" + std::string(error_code_text(ran.error().code)) +
                       "): " + ran.error().message);
  }
  for (std::string& warning : dismount_volumes_for_detach(*disk)) warnings.push_back(std::move(warning));
  return json{{"detached", true}, {"warnings", warnings}};
}

HandlerResult handle_read_sectors(const WindowsHelperRequest& request) {
  auto path = resolve_target_path(request.payload);
  DH_TRY(path);
  // Held until the command returns; declared before the target handle so the
  // handle closes first and the volumes stay locked while it is open.
  auto guarded = lock_target_volumes(*path);
  DH_TRY(guarded);

  auto start = payload_u64(request.payload, "startLba");
  if (!start) return unexpected(unknown_error(missing_field::kStartLba));
  auto count = payload_u64(request.payload, "sectorCount");
  if (!count) return unexpected(unknown_error(missing_field::kSectorCount));
  if (*count == 0 || *count > kMaxSectorsPerRead) {
    return unexpected(unknown_error("sectorCount must be between 1 and " + std::to_string(kMaxSectorsPerRead) +
                                    " (got " + std::to_string(*count) + ")"));
  }

  auto target = open_target_shared_read(guarded->target);
  if (!target) return unexpected(helper_error(ErrorCode::kReadFailed, target.error()));
  auto data = read_sectors_at(**target, *start, *count);
  if (!data) return unexpected(helper_error(ErrorCode::kReadFailed, data.error()));
  return json{{"dataHex", hex_encode(data->data(), data->size())}};
}

}  // namespace dh
