// The commands that move a target through a flashing job around the write:
// prepare_disk, detach_target, read_sectors and finalize_disk.
#pragma once

#include <cstdint>
#include <string>

#include "protocol/helper_error.h"
#include "protocol/request.h"

namespace dh {

// Highest sectorCount a read_sectors request may ask for (8 MiB).
inline constexpr uint64_t kMaxSectorsPerRead = 16384;

// The PowerShell scripts, for drive number `disk`.
std::string prepare_disk_script(uint32_t disk);
std::string finalize_disk_script(uint32_t disk);
std::string detach_target_script(uint32_t disk);

// Clears the disk's read-only flag with Set-Disk. Answers
// {"osDevicePath":path,"prepared":true}. Errors: the target errors,
// UNKNOWN "Unable to parse drive number from <path>", the runner's error.
HandlerResult handle_prepare_disk(const WindowsHelperRequest& request);

// Removes the disk's drive letters and dismounts its volumes, first through
// PowerShell, then natively. Answers {"detached":true,"warnings":[...]}; once
// the target resolves, every problem is a warning, never an error.
HandlerResult handle_detach_target(const WindowsHelperRequest& request);

// Brings the disk online with Set-Disk. Answers {"finalized":true}. Errors:
// the target errors, UNKNOWN "Could not parse PhysicalDrive number from
// <path>", the runner's error.
HandlerResult handle_finalize_disk(const WindowsHelperRequest& request);

// Locks the drive's volumes, then reads sectorCount sectors from startLba.
// Answers {"dataHex":"..."}. Errors: the target errors, UNMOUNT_FAILED,
// UNKNOWN for missing or out-of-range fields, READ_FAILED for the open, seek
// or read. The locks are released on every path.
HandlerResult handle_read_sectors(const WindowsHelperRequest& request);

}  // namespace dh
