#include "write/write_test_util.h"

#include <cstring>

#include "image/sha256.h"
#include "support/test_support.h"

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

WindowsHelperRequest write_request(const nlohmann::json& payload) {
  return WindowsHelperRequest{"req-1", "s-1", "write_image", payload};
}

std::string pattern_bytes(size_t size, uint32_t seed) {
  std::string out(size, '\0');
  uint32_t x = seed * 2654435761u + 1;
  for (size_t i = 0; i < size; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    out[i] = static_cast<char>(x);
  }
  return out;
}

std::string fixture(const std::string& name) { return native_path(std::string(FIXTURE_DIR) + "/" + name); }

std::vector<nlohmann::json> parse_lines(const std::vector<std::string>& lines) {
  std::vector<nlohmann::json> out;
  for (const auto& line : lines) out.push_back(nlohmann::json::parse(line));
  return out;
}

std::string sha256_hex(const std::string& bytes) {
  Sha256 sha;
  sha.update(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  return sha.finish_hex();
}

int io_error_code() { return on_windows() ? 23 /* ERROR_CRC */ : 5 /* EIO */; }

}  // namespace dh::test
