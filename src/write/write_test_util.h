// Shared pieces of the write module's tests: a hand-driven clock, fake
// volumes that log their lifetime, and small file helpers.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/clock.h"
#include "platform/volumes.h"
#include "protocol/request.h"

namespace dh::test {

// Time moves only by `step` on each now() call and by sleep(); sleeps are
// recorded, never waited for.
class ManualClock final : public Clock {
 public:
  explicit ManualClock(std::chrono::milliseconds step = std::chrono::milliseconds(0)) : step_(step) {}
  std::chrono::steady_clock::time_point now() override {
    auto t = now_;
    now_ += step_;
    return t;
  }
  void sleep(std::chrono::milliseconds duration) override {
    sleeps.push_back(duration);
    now_ += duration;
  }
  std::vector<std::chrono::milliseconds> sleeps;

 private:
  std::chrono::milliseconds step_;
  std::chrono::steady_clock::time_point now_{};
};

// Volumes that all lie on `disk`; each logs "lock <name>" when opened for
// writing and "release <name>" when that handle closes. Opening `refuse` for
// writing fails with OS error 5.
class LoggingVolumes final : public VolumeSystem {
 public:
  LoggingVolumes(std::vector<std::string>& events, uint32_t disk, std::vector<std::string> names,
                 std::string refuse = "");
  std::vector<std::string> list_volume_names() override { return names_; }
  SysResult<VolumePtr> open_volume(const std::string& path, bool read_write) override;

 private:
  std::vector<std::string>& events_;
  uint32_t disk_;
  std::vector<std::string> names_;
  std::string refuse_;
};

WindowsHelperRequest write_request(const nlohmann::json& payload);
// Deterministic bytes that differ from chunk to chunk.
std::string pattern_bytes(size_t size, uint32_t seed = 1);
// The fixture made at build time, in the platform's path form.
std::string fixture(const std::string& name);
// Captured progress lines, parsed.
std::vector<nlohmann::json> parse_lines(const std::vector<std::string>& lines);
std::string sha256_hex(const std::string& bytes);
// An OS error code for a generic I/O failure: ERROR_CRC on Windows, EIO elsewhere.
int io_error_code();

}  // namespace dh::test
