// Physical drives opened by number for the disk listing: the three queries it
// needs, each handing back the bytes the system returned. Windows answers
// them with DeviceIoControl on \\.\PhysicalDriveN; the POSIX backend has no
// such drives. Replaceable in tests.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/sys_error.h"

namespace dh {

// The output buffer size of the storage property query.
inline constexpr size_t kDeviceDescriptorBufferSize = 1024;

// An open physical drive (read access, sharing read and write). Closing
// happens in the destructor.
class PhysicalDrive {
 public:
  virtual ~PhysicalDrive() = default;
  // IOCTL_DISK_GET_LENGTH_INFO: the bytes returned (8 on success).
  virtual SysResult<std::vector<uint8_t>> length_info() = 0;
  // IOCTL_STORAGE_QUERY_PROPERTY for the standard device property into a
  // 1024-byte buffer: the bytes returned, at most 1024.
  virtual SysResult<std::vector<uint8_t>> device_descriptor() = 0;
  // IOCTL_DISK_GET_DISK_ATTRIBUTES into a 24-byte buffer: the bytes returned.
  virtual SysResult<std::vector<uint8_t>> disk_attributes() = 0;
};

using PhysicalDrivePtr = std::unique_ptr<PhysicalDrive>;

class PhysicalDriveSystem {
 public:
  virtual ~PhysicalDriveSystem() = default;
  // Opens \\.\PhysicalDrive<number>.
  virtual SysResult<PhysicalDrivePtr> open_drive(uint32_t number) = 0;
};

// The drives in use: the native ones unless a test installed others.
PhysicalDriveSystem& physical_drive_system();
PhysicalDriveSystem& native_physical_drive_system();

// Installs `drives` as physical_drive_system() for the lifetime of this object.
class ScopedPhysicalDriveSystem {
 public:
  explicit ScopedPhysicalDriveSystem(PhysicalDriveSystem& drives);
  ~ScopedPhysicalDriveSystem();
  ScopedPhysicalDriveSystem(const ScopedPhysicalDriveSystem&) = delete;
  ScopedPhysicalDriveSystem& operator=(const ScopedPhysicalDriveSystem&) = delete;

 private:
  PhysicalDriveSystem* previous_;
};

}  // namespace dh
