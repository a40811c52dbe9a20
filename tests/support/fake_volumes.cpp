#include "support/fake_volumes.h"

#include <cstring>
#include <utility>

namespace dh::test {
namespace {

class LoggingVolume final : public Volume {
 public:
  LoggingVolume(std::vector<std::string>* events, std::string name, uint32_t disk)
      : events_(events), name_(std::move(name)), disk_(disk) {
    if (events_ != nullptr) events_->push_back("lock " + name_);
  }
  ~LoggingVolume() override {
    if (events_ != nullptr) events_->push_back("release " + name_);
  }
  SysResult<std::vector<uint8_t>> disk_extents() override {
    std::vector<uint8_t> extents(32, 0);
    extents[0] = 1;
    std::memcpy(extents.data() + 8, &disk_, 4);
    return extents;
  }
  SysStatus lock() override { return {}; }
  SysStatus dismount() override { return {}; }

 private:
  std::vector<std::string>* events_;  // null for the read-only probe handle
  std::string name_;
  uint32_t disk_;
};

}  // namespace

LoggingVolumes::LoggingVolumes(std::vector<std::string>& events, uint32_t disk, std::vector<std::string> names,
                               std::string refuse)
    : events_(events), disk_(disk), names_(std::move(names)), refuse_(std::move(refuse)) {}

SysResult<VolumePtr> LoggingVolumes::open_volume(const std::string& path, bool read_write) {
  if (!read_write) return VolumePtr(std::make_unique<LoggingVolume>(nullptr, path, disk_));
  if (path == refuse_) return unexpected(SysError::from_os(5));
  return VolumePtr(std::make_unique<LoggingVolume>(&events_, path, disk_));
}

}  // namespace dh::test
