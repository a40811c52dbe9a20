// Turning a payload's target fields into a device path and a drive number.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "platform/device_path.h"
#include "protocol/helper_error.h"

namespace dh {

// `osDevicePath` when it is a string (even empty); otherwise
// "\\.\PhysicalDriveN" from a string `deviceId` that holds a drive number.
// Fails with UNKNOWN "Missing osDevicePath/deviceId payload field", or with
// payload_path's error for a field it reads that contains a NUL character.
Expected<std::string, HelperError> resolve_target_path(const nlohmann::json& payload);

// The digits after the last "physicaldrive" (ASCII case-insensitive) in
// `text`, as a 32-bit number; nothing when there are no digits or the number
// exceeds 4294967295.
std::optional<uint32_t> parse_drive_number(std::string_view text);

// True for the device-namespace name of a whole disk exactly:
// "\\.\PhysicalDriveN" or "\\?\PhysicalDriveN" (any letter case), N in
// decimal without leading zeros.
bool is_physical_drive_name(std::string_view path);

// True for a Windows path that names a device itself rather than a file on
// one: anything under \\.\ (\\.\PhysicalDrive0, \\.\C:, \\.\pipe\x), and a
// \\?\ name without a file part (\\?\Volume{...}, \\?\GLOBALROOT\...,
// \\?\C:); "\\?\C:\dir\file" and "\\?\UNC\server\share\file" are files.
// Forward slashes count as backslashes, as Windows reads them.
bool is_device_namespace_path(std::string_view path);

}  // namespace dh
