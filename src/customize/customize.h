// First-boot customization: the apply_customization command.
#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "protocol/helper_error.h"
#include "protocol/request.h"

namespace dh {

// Brings the target disk online and writable, makes sure its partition 1 has
// a drive letter, then writes the payload's `files` and merges
// `cmdlineAppend` into cmdline.txt on that partition (see
// customize_boot_partition). Errors, in this order: the target errors of
// resolve_target_path; check_boot_file_names' refusal; the refusal of the
// running system's disk (check_disk_target); UNKNOWN "Could not parse
// PhysicalDrive number from <path>"; the PowerShell runner's errors
// unchanged; UNKNOWN "Could not assign a drive letter to the boot
// partition" when the script printed nothing, or
// "PowerShell printed no drive letter for the boot partition: <output as a
// JSON string>" when it printed anything but one ASCII letter; UNKNOWN when
// the platform cannot reach a drive letter (POSIX); the WRITE_FAILED errors
// of customize_boot_partition. When it wrote anything, it then flushes the
// volume (FileSystem::flush_volume) before it answers: WRITE_FAILED
// "<drive root>: <OS error>" (the root such as "E:\") when that fails, with
// every file already written.
HandlerResult handle_apply_customization(const WindowsHelperRequest& request);

// UNKNOWN "Refusing files[].path <path as a JSON string>: <why>" for the
// first element of `files` (a JSON array, or nullptr) whose string `path`
// boot_path_problem refuses; elements without a string path are skipped.
Expected<void, HelperError> check_boot_file_names(const nlohmann::json* files);

// The PowerShell script run for disk `drive_number`: sets the disk online and
// writable (failures tolerated), waits, assigns partition 1 a drive letter if
// it has none, and prints that partition's drive letter.
std::string drive_letter_script(uint32_t drive_number);

}  // namespace dh
