// POSIX has no Windows volumes to lock: a mounted file system on a target is
// refused by the exclusive open of the device instead.
#include <cerrno>

#include "platform/volumes.h"

namespace dh {
namespace {

class NoVolumes final : public VolumeSystem {
 public:
  std::vector<std::string> list_volume_names() override { return {}; }
  SysResult<VolumePtr> open_volume(const std::string&, bool) override {
    return unexpected(SysError::from_os(ENOENT));
  }
};

}  // namespace

VolumeSystem& native_volume_system() {
  static NoVolumes volumes;
  return volumes;
}

}  // namespace dh
