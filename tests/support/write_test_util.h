// Shared pieces of the write module's tests: requests, fixtures, patterned
// bytes and hashes. Built into the write tests only (it uses the image module).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "protocol/request.h"

namespace dh::test {

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
