// Shared pieces of the write module's tests: fake volumes that log their
// lifetime, and small file helpers.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/volumes.h"
#include "protocol/request.h"

namespace dh::test {

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
// Lines captured from emit_progress, parsed.
std::vector<nlohmann::json> parse_lines(const std::vector<std::string>& lines);
std::string sha256_hex(const std::string& bytes);
// An OS error code for a generic I/O failure: ERROR_CRC on Windows, EIO elsewhere.
int io_error_code();

}  // namespace dh::test
