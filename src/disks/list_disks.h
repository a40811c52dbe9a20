// The list_disks command: writable removable disks, from the physical drives
// themselves when they answer, otherwise from PowerShell's Get-Disk.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "protocol/helper_error.h"
#include "protocol/request.h"

namespace dh {

inline constexpr const char* kGuardScript =
    "Get-Disk | Select-Object Number,IsSystem,IsBoot | ConvertTo-Json -Compress";
inline constexpr const char* kGetDiskScript =
    "$disks = Get-Disk | Select-Object Number,FriendlyName,SerialNumber,Size,IsReadOnly,BusType,IsSystem,IsBoot; "
    "$disks | ConvertTo-Json -Compress";

// Answers {"disks":[...]}: the device route's list when it answers, else the
// PowerShell route's list or its error.
HandlerResult handle_list_disks(const WindowsHelperRequest& request);

// Device route: asks \\.\PhysicalDrive0..31, skipping the drives the guard
// script reports as system or boot. Nothing when the guard fails or no drive
// answers the length query; then the caller takes the PowerShell route.
std::optional<std::vector<nlohmann::json>> enumerate_physical_drives();

// PowerShell route. Errors: the runner's error unchanged, or UNKNOWN with the
// JSON parser's text when the output is not JSON.
Expected<std::vector<nlohmann::json>, HelperError> list_disks_via_powershell();

// ConvertTo-Json output as a list: an array's elements, a lone object, or
// nothing for any other value.
std::vector<nlohmann::json> json_items(const nlohmann::json& value);

// Drive numbers below 2^32 that the guard output marks IsSystem or IsBoot.
std::set<uint32_t> guard_excluded_drives(const nlohmann::json& guard_output);

// The guard script's output text as the excluded drive numbers; nothing when
// it is not JSON.
std::optional<std::set<uint32_t>> parse_guard_output(std::string_view output);

// The Get-Disk script's output text as disk records, in its order. Errors:
// UNKNOWN with the JSON parser's text when the output is not JSON.
Expected<std::vector<nlohmann::json>, HelperError> parse_get_disk_output(std::string_view output);

// The disk record for one Get-Disk item, or nothing when the item is not an
// object, not on an SD/USB/MMC bus, read-only, system, boot, or without a
// non-zero Size.
std::optional<nlohmann::json> get_disk_record(const nlohmann::json& item);

}  // namespace dh
