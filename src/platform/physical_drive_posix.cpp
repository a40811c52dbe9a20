// POSIX has no numbered physical drives: every open fails, so the disk
// listing falls back to its PowerShell route.
#include <cerrno>

#include "platform/physical_drive.h"

namespace dh {
namespace {

class NoPhysicalDrives final : public PhysicalDriveSystem {
 public:
  SysResult<PhysicalDrivePtr> open_drive(uint32_t) override { return unexpected(SysError::from_os(ENOENT)); }
};

}  // namespace

PhysicalDriveSystem& native_physical_drive_system() {
  static NoPhysicalDrives drives;
  return drives;
}

}  // namespace dh
