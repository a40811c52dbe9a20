// Shared pieces of the write module's tests: requests, fixtures, progress
// lines and hashes (patterned bytes: support/bytes.h). Built into the write
// tests only (it uses the image module).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/clock.h"
#include "protocol/helper_error.h"
#include "protocol/request.h"
#include "support/bytes.h"

namespace dh::test {

WindowsHelperRequest write_request(const nlohmann::json& payload);
// The fixture made at build time, in the platform's path form.
std::string fixture(const std::string& name);
// Captured progress lines, parsed.
std::vector<nlohmann::json> parse_lines(const std::vector<std::string>& lines);
std::string sha256_hex(const std::string& bytes);
// One write_image request's answer and the progress lines it printed.
struct WriteRun {
  HandlerResult result;
  std::vector<nlohmann::json> lines;
};
WriteRun run_write(const nlohmann::json& payload, Clock& clock);

// An OS error code for a generic I/O failure: ERROR_CRC on Windows, EIO elsewhere.
int io_error_code();

}  // namespace dh::test
