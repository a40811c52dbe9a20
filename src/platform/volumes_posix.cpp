// POSIX has no Windows volumes to lock: a mounted file system on a target is
// refused by the exclusive open of the device instead. The system's own
// "volumes" are the block devices under /.
#include <cerrno>

#include "platform/block_devices_posix.h"
#include "platform/volumes.h"

namespace dh {
namespace {

class NoVolumes final : public VolumeSystem {
 public:
  std::vector<std::string> list_volume_names() override { return {}; }
  SysResult<VolumePtr> open_volume(const std::string&, VolumeAccess) override {
    return unexpected(SysError::from_os(ENOENT));
  }
  std::vector<std::string> system_volume_paths() override { return root_block_devices(); }
};

}  // namespace

VolumeSystem& native_volume_system() {
  static NoVolumes volumes;
  return volumes;
}

}  // namespace dh
