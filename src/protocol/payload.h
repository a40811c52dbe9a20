// Typed field readers for a request's payload. A field of the wrong JSON type
// counts as missing; a payload that is not an object has no fields.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "protocol/helper_error.h"

namespace dh {

// The text of a string field.
std::optional<std::string> payload_str(const nlohmann::json& payload, const char* key);

// A string field that names a file or device. As payload_str, except that a
// string containing U+0000 is refused with UNKNOWN "<key> payload field
// contains a NUL character": the system would see only the text before it,
// while the helper's own checks read all of it.
Expected<std::optional<std::string>, HelperError> payload_path(const nlohmann::json& payload, const char* key);

// A number field as an unsigned 64-bit count: non-negative integers as they
// are; negative integers and numbers with a fraction or exponent through
// double precision, truncated toward zero, negatives giving 0 and values of
// 2^64 or more giving 2^64-1.
std::optional<uint64_t> payload_u64(const nlohmann::json& payload, const char* key);

// True only for the JSON value true.
bool payload_flag(const nlohmann::json& payload, const char* key);

// The elements of an array field.
const nlohmann::json* payload_array(const nlohmann::json& payload, const char* key);

// The number conversion above, for a value already at hand.
std::optional<uint64_t> json_to_u64(const nlohmann::json& value);

// The missing-field messages shared by several commands.
namespace missing_field {
inline constexpr const char* kImagePath = "Missing imagePath payload field";
inline constexpr const char* kOutputPath = "Missing outputPath payload field";
inline constexpr const char* kBytesTotal = "Missing bytesTotal payload field";
inline constexpr const char* kTarget = "Missing osDevicePath/deviceId payload field";
inline constexpr const char* kStartLba = "Missing startLba payload field";
inline constexpr const char* kSectorCount = "Missing sectorCount payload field";
}  // namespace missing_field

}  // namespace dh
