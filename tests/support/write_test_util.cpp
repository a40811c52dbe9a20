#include "support/write_test_util.h"

#include "decode/sha256.h"
#include "progress/progress.h"
#include "write/write_image.h"
#include "support/test_support.h"

namespace dh::test {

WindowsHelperRequest write_request(const nlohmann::json& payload) {
  return WindowsHelperRequest{"req-1", "s-1", "write_image", payload};
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

WriteRun run_write(const nlohmann::json& payload, Clock& clock) {
  ScopedProgressCapture capture;
  auto result = write_image(write_request(payload), clock);
  return WriteRun{std::move(result), parse_lines(capture.lines())};
}

int io_error_code() { return on_windows() ? 23 /* ERROR_CRC */ : 5 /* EIO */; }

}  // namespace dh::test
