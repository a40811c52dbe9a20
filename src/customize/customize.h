// First-boot customization: the apply_customization command.
#pragma once

#include <cstdint>
#include <string>

#include "dispatch/helper_error.h"
#include "main/request.h"

namespace dh {

// Brings the target disk online and writable, makes sure its partition 1 has
// a drive letter, then writes the payload's `files` and merges
// `cmdlineAppend` into cmdline.txt on that partition (see
// customize_boot_partition). Errors: the target errors of
// resolve_target_path; UNKNOWN "Could not parse PhysicalDrive number from
// <path>"; the PowerShell runner's errors unchanged; UNKNOWN "Could not
// assign a drive letter to the boot partition" when the script printed
// nothing; UNKNOWN when the platform cannot reach a drive letter (POSIX);
// the WRITE_FAILED errors of customize_boot_partition.
HandlerResult handle_apply_customization(const WindowsHelperRequest& request);

// The PowerShell script run for disk `drive_number`: sets the disk online and
// writable (failures tolerated), waits, assigns partition 1 a drive letter if
// it has none, and prints that partition's drive letter.
std::string drive_letter_script(uint32_t drive_number);

}  // namespace dh
