// The checks every command makes before it touches a target: never the disk
// that holds the running system, and lock only the disk that the target path
// really opens. Each command that takes a target goes through one of the
// three entry points at the end, before any script, lock or open.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/file.h"
#include "protocol/helper_error.h"
#include "rawdisk/raw_access.h"
#include "rawdisk/volume_lock.h"

namespace dh {

// A disk that holds the running operating system.
struct SystemDisk {
  uint32_t device_type = kFileDeviceDisk;
  uint32_t number = 0;
  std::string path;  // how the refusal names it: \\.\PhysicalDriveN, /dev/sda
  friend bool operator==(const SystemDisk&, const SystemDisk&) = default;
};

// The disks under the volumes that hold the running system
// (VolumeSystem::system_volume_paths): every disk a volume's extents lie on,
// or, for a volume whose extents cannot be read or name no disk, the disk
// its path opens (FileSystem::device_of). Empty when none can be found, and
// then nothing is refused.
std::vector<SystemDisk> find_system_disks();

// UNKNOWN "Refusing <path>: <disk> holds the running operating system" when
// the device the path opens lies on one of `system` (a partition or volume of
// such a disk included; a file on it is no device and passes), or when
// `drive`, the disk number the command's PowerShell steps would act on, is
// one of them.
std::optional<HelperError> system_disk_refusal(const std::string& path, const SysResult<PathDevice>& opened,
                                               std::optional<uint32_t> drive, const std::vector<SystemDisk>& system);

// Which disk's volumes to lock for a target path whose text carries drive
// number `parsed`, given what the path opens: that disk only when the path
// opens a whole disk (partition number 0 or kWholeDevice) of that very
// number; nothing for a path that cannot be opened, a file, a folder, a
// partition, a volume or any device that is no disk; and a refusal (UNKNOWN
// "Refusing <path>: the path names disk N but opens disk M") when it opens
// another whole disk.
struct LockDecision {
  std::optional<uint32_t> disk;
  std::optional<HelperError> refusal;
};
LockDecision decide_volume_locks(const std::string& path, uint32_t parsed, const SysResult<PathDevice>& opened);

// A checked target with the locks on its volumes, held until it goes.
struct GuardedTarget {
  CheckedTarget target;
  VolumeLockSet locks;
  std::optional<uint32_t> disk;  // whose volumes were locked; empty when none were
};

// The commands that lock volumes before raw access (read_sectors,
// verify_hash, write_image, verify_boot): refuses the system's disk, then
// locks and dismounts every volume of the disk the path opens as
// decide_volume_locks says (an empty set when it says nothing). Lock
// failures become UNMOUNT_FAILED. The target's opens prove they reach what
// was checked here.
Expected<GuardedTarget, HelperError> lock_target_volumes(const std::string& target_path, Clock& clock = system_clock());

// For the commands that write a disk (write_image, probe_capacity), on its
// exclusive write `handle` after lock_target_volumes: zeros the sector that
// holds the partition table (one transfer unit at 0), commits it, asks the
// system to read the layout again (File::refresh_layout; a refusal is left
// to the close of the handle or the next insertion) and closes the handle,
// so that the old partitions' volumes go. Then every volume that could be
// dismounted but not locked (VolumeLockSet::unlocked) must be gone with its
// partition: anyone may mount it again, and a raw write inside a mounted
// volume is refused or mixed with the file system's own. One that is still
// on the disk is UNMOUNT_FAILED "Unable to lock mounted volume <name>: it
// stayed on the target after its partition table was cleared. Close File
// Explorer windows and other programs using this target, then try again."
// A failed write or commit is WRITE_FAILED.
Expected<void, HelperError> drop_partition_table(const GuardedTarget& guarded, FilePtr& handle);

// The commands that open a target without locking (classify_mismatch):
// refuses the system's disk.
Expected<CheckedTarget, HelperError> check_raw_target(const std::string& target_path);

// A file the helper creates (an extracted image) must be a regular file: a
// path that names a device (is_device_namespace_path) or reaches one (a
// disk, partition, volume, Linux block or character device) is refused,
// before anything is opened, with UNKNOWN output_device_refusal(`field`,
// `path`).
Expected<void, HelperError> check_output_file(const char* field, const std::string& path);
std::string output_device_refusal(const char* field, const std::string& path);

// The commands whose PowerShell steps act on drive number `drive`
// (prepare_disk, detach_target, finalize_disk, apply_customization):
// refuses the system's disk, named by the path or by the number.
Expected<void, HelperError> check_disk_target(const std::string& target_path, std::optional<uint32_t> drive);

}  // namespace dh
