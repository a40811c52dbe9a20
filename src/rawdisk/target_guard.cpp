#include "rawdisk/target_guard.h"

#include <algorithm>

#include "disks/target.h"
#include "platform/volumes.h"

namespace dh {
namespace {

void add_disk(std::vector<SystemDisk>& disks, SystemDisk disk) {
  if (std::find(disks.begin(), disks.end(), disk) == disks.end()) disks.push_back(std::move(disk));
}

bool whole_disk(const DeviceNumber& n) { return n.partition_number == 0 || n.partition_number == kWholeDevice; }

const SystemDisk* find_disk(const std::vector<SystemDisk>& system, uint32_t type, uint32_t number) {
  for (const auto& disk : system) {
    if (disk.device_type == type && disk.number == number) return &disk;
  }
  return nullptr;
}

HelperError refusal(const std::string& path, const std::string& disk) {
  return unknown_error("Refusing " + path + ": " + disk + " holds the running operating system");
}

// The disk a device-namespace name such as \\.\PhysicalDrive0 names is the
// disk it opens, whatever the device answers about itself.
std::optional<uint32_t> named_disk(const std::string& target_path) {
  if (!is_physical_drive_name(target_path)) return std::nullopt;
  return parse_drive_number(target_path);
}

}  // namespace

std::vector<SystemDisk> find_system_disks() {
  std::vector<SystemDisk> disks;
  for (const std::string& path : volume_system().system_volume_paths()) {
    std::vector<uint32_t> numbers;
    if (auto volume = volume_system().open_volume(path, VolumeAccess::kQuery)) {
      if (auto extents = (*volume)->disk_extents()) numbers = extent_disks(*extents);
    }
    for (uint32_t n : numbers) add_disk(disks, SystemDisk{kFileDeviceDisk, n, physical_drive_path(n)});
    if (!numbers.empty()) continue;
    // A volume that reports no extents (Wine's) or cannot be opened at all
    // may still answer which disk it lies on.
    auto device = file_system().device_of(path);
    if (device && device->is_device && device->number) {
      const DeviceNumber& n = *device->number;
      add_disk(disks, SystemDisk{n.device_type, n.device_number,
                                 n.disk_path.empty() ? physical_drive_path(n.device_number) : n.disk_path});
    }
  }
  return disks;
}

std::optional<HelperError> system_disk_refusal(const std::string& path, const SysResult<PathDevice>& opened,
                                               std::optional<uint32_t> drive, const std::vector<SystemDisk>& system) {
  if (opened && opened->is_device && opened->number) {
    const DeviceNumber& n = *opened->number;
    if (const SystemDisk* disk = find_disk(system, n.device_type, n.device_number)) return refusal(path, disk->path);
  }
  if (drive) {
    if (const SystemDisk* disk = find_disk(system, kFileDeviceDisk, *drive)) return refusal(path, disk->path);
  }
  return std::nullopt;
}

LockDecision decide_volume_locks(const std::string& path, uint32_t parsed, const SysResult<PathDevice>& opened) {
  if (!opened || !opened->is_device || !opened->number) {
    // \\.\PhysicalDriveN lives in the device namespace, where no file can
    // take its name: when the device does not tell its numbers, the disk the
    // path names is the one it opens, and its volumes must not stay mounted
    // under the raw writes.
    if (is_physical_drive_name(path)) return LockDecision{parsed, std::nullopt};
    return {};
  }
  const DeviceNumber& n = *opened->number;
  if (n.device_type != kFileDeviceDisk || !whole_disk(n)) return {};
  if (n.device_number == parsed) return LockDecision{parsed, std::nullopt};
  return LockDecision{std::nullopt,
                      unknown_error("Refusing " + path + ": the path names disk " + std::to_string(parsed) +
                                    " but opens disk " + std::to_string(n.device_number))};
}

Expected<GuardedTarget, HelperError> lock_target_volumes(const std::string& target_path, Clock& clock) {
  GuardedTarget guarded{CheckedTarget::as_found(target_path), VolumeLockSet{}, std::nullopt};
  const auto& opened = guarded.target.device;
  if (auto refused = system_disk_refusal(target_path, opened, named_disk(target_path), find_system_disks())) {
    return unexpected(std::move(*refused));
  }
  auto parsed = parse_drive_number(target_path);
  if (!parsed) return guarded;
  LockDecision decision = decide_volume_locks(target_path, *parsed, opened);
  if (decision.refusal) return unexpected(std::move(*decision.refusal));
  if (!decision.disk) return guarded;
  auto set = lock_and_dismount_volumes(*decision.disk, clock);
  if (!set) return unexpected(helper_error(ErrorCode::kUnmountFailed, set.error()));
  guarded.locks = std::move(set).value();
  guarded.disk = decision.disk;
  return guarded;
}

Expected<void, HelperError> drop_partition_table(const GuardedTarget& guarded, FilePtr& handle) {
  const FileKind kind = handle->kind();
  auto cleared = write_zeros(*handle, 0, std::min<uint64_t>(transfer_unit(kind), kind.length.value_or(kSectorSize)));
  if (cleared) cleared = handle->flush();
  if (!cleared) return unexpected(helper_error(ErrorCode::kWriteFailed, cleared.error()));
  (void)handle->refresh_layout();
  handle.reset();
  if (!guarded.disk) return {};
  for (const std::string& name : guarded.locks.unlocked()) {
    if (!volume_lies_on_disk(name, *guarded.disk)) continue;
    return unexpected(HelperError{ErrorCode::kUnmountFailed,
                                  "Unable to lock mounted volume " + name +
                                      ": it stayed on the target after its partition table was cleared. Close File "
                                      "Explorer windows and other programs using this target, then try again."});
  }
  return {};
}

Expected<CheckedTarget, HelperError> check_raw_target(const std::string& target_path) {
  CheckedTarget checked = CheckedTarget::as_found(target_path);
  auto system = find_system_disks();
  if (auto refused = system_disk_refusal(target_path, checked.device, named_disk(target_path), system)) {
    return unexpected(std::move(*refused));
  }
  return checked;
}

std::string output_device_refusal(const char* field, const std::string& path) {
  return std::string("Refusing ") + field + " " + path + ": it names a device; the output must be a regular file";
}

Expected<void, HelperError> check_output_file(const char* field, const std::string& path) {
  auto reached = file_system().device_of(path);
  if (is_device_namespace_path(path) || (reached && reached->is_device)) {
    return unexpected(unknown_error(output_device_refusal(field, path)));
  }
  return {};
}

Expected<void, HelperError> check_disk_target(const std::string& target_path, std::optional<uint32_t> drive) {
  auto system = find_system_disks();
  if (system.empty()) return {};
  if (auto refused = system_disk_refusal(target_path, file_system().device_of(target_path), drive, system)) {
    return unexpected(std::move(*refused));
  }
  return {};
}

}  // namespace dh
