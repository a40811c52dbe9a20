// The boot readiness report of `verify_boot`: the caller's hash evidence
// judged first, then the target's MBR, partitions, FAT boot sector and boot
// files inspected through the boot reader.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "protocol/helper_error.h"
#include "protocol/request.h"
#include "rawdisk/raw_access.h"

namespace dh {

namespace check_status {
inline constexpr const char* kPassed = "passed";
inline constexpr const char* kFailed = "failed";
inline constexpr const char* kWarning = "warning";
inline constexpr const char* kSkipped = "skipped";
}  // namespace check_status

inline constexpr const char* kBootLimitation =
    "Host-side boot-readiness verifies the written target structure and Raspberry Pi boot files; a desktop app "
    "cannot physically boot a Raspberry Pi without a connected Pi hardware harness.";

// One check item (`BootCheck`): an object with critical, details, id, label,
// message and status.
nlohmann::json make_check(const std::string& id, const std::string& label, const std::string& status,
                          const std::string& message, bool critical, nlohmann::json details);

// Appends the structural check items for the target at `device_path` to
// `checks`: "mbr-signature" to "boot-files", or up to the first failing one;
// an open or read failure appends "boot-media-read" and ends the inspection.
// The target is opened for shared reading and closed before returning.
void inspect_boot_media(const CheckedTarget& target, nlohmann::json& checks);

// verify_boot: {"report": {...}}. Errors only when the target cannot be
// resolved (UNKNOWN) or its volumes cannot be locked (UNMOUNT_FAILED); every
// problem on the card is a check item. The locks are held until it returns.
HandlerResult handle_verify_boot(const WindowsHelperRequest& request);

}  // namespace dh
