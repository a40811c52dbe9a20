// Mounted volumes: enumeration, extents, lock and dismount. Windows has them;
// the POSIX backend lists none. Replaceable in tests.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/sys_error.h"

namespace dh {

// An open volume handle; closing it (destruction) releases its lock.
class Volume {
 public:
  virtual ~Volume() = default;
  // The raw VOLUME_DISK_EXTENTS bytes (IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS
  // into a 1024-byte buffer), as many as the call returned.
  virtual SysResult<std::vector<uint8_t>> disk_extents() = 0;
  // One FSCTL_LOCK_VOLUME attempt.
  virtual SysStatus lock() = 0;
  // One FSCTL_DISMOUNT_VOLUME.
  virtual SysStatus dismount() = 0;
};

using VolumePtr = std::unique_ptr<Volume>;

// What a volume is opened for.
enum class VolumeAccess {
  // No read or write access: enough to ask its extents, and it does not make
  // Windows mount the volume or need administrator rights.
  kQuery,
  // Read and write: for lock and dismount.
  kReadWrite,
};

class VolumeSystem {
 public:
  virtual ~VolumeSystem() = default;
  // Volume GUID paths as enumerated (each ends in a backslash); empty when the
  // enumeration cannot start.
  virtual std::vector<std::string> list_volume_names() = 0;
  // Opens `path` (a volume name without trailing backslashes) with `access`,
  // sharing read and write.
  virtual SysResult<VolumePtr> open_volume(const std::string& path, VolumeAccess access) = 0;
  // The volumes that hold the running operating system, as paths that
  // open_volume and FileSystem::device_of take: on Windows the volume of the
  // Windows folder and the system partition holding the boot loader; on
  // POSIX the block devices under the file system mounted at /. Empty when
  // none can be found (this default).
  virtual std::vector<std::string> system_volume_paths();
};

VolumeSystem& volume_system();
VolumeSystem& native_volume_system();

class ScopedVolumeSystem {
 public:
  explicit ScopedVolumeSystem(VolumeSystem& volumes);
  ~ScopedVolumeSystem();
  ScopedVolumeSystem(const ScopedVolumeSystem&) = delete;
  ScopedVolumeSystem& operator=(const ScopedVolumeSystem&) = delete;

 private:
  VolumeSystem* previous_;
};

}  // namespace dh
