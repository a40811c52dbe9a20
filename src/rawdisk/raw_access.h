// The only door to a target's raw bytes: its three open modes, the sector
// reader, and the mapping of failures to the helper's error codes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/file.h"
#include "protocol/helper_error.h"

namespace dh {

inline constexpr uint64_t kSectorSize = 512;
inline constexpr uint64_t kMaxReadableLba = 0x7FFFFFFFFFFFFFull;

// A target path and what it reached (FileSystem::device_of) when the
// command's checks ran: the system-disk refusal and the choice of volumes to
// lock were made for that device.
struct CheckedTarget {
  // What `path` reaches now, as the checks see it.
  static CheckedTarget as_found(std::string path);
  std::string path;
  SysResult<PathDevice> device;
};

// Each open goes through to the target and then proves that the handle
// reaches what the checks saw (same_device); a handle that reaches anything
// else (a link repointed, a device replaced meanwhile) is closed unused and
// the open fails with "Refusing <path>: it now opens another device or file
// than the one that was checked".
// Read, others may read, write and delete (read_sectors, verify_boot).
SysResult<FilePtr> open_target_shared_read(const CheckedTarget& target);
// The exclusive opens wait for a drive that another program still holds
// (Explorer, an antivirus scan, the mount manager after a dismount): an open
// refused with a sharing violation is tried again every 250 ms until more
// than 14 whole seconds have passed, and then fails with that error.
// Read, no sharing (hash_range, the mismatch tools).
SysResult<FilePtr> open_target_exclusive_read(const CheckedTarget& target, Clock& clock = system_clock());
// Read and write, no sharing, write-through (write_image).
SysResult<FilePtr> open_target_exclusive_write(const CheckedTarget& target, Clock& clock = system_clock());

// Tells the system once that the disk behind `target` has a new layout
// (File::refresh_layout through an exclusive handle), so that the next
// command finds its partitions and the old ones' volumes go. A failure
// changes nothing written: the system then finds out when the card is
// inserted again.
void announce_new_layout(const CheckedTarget& target, Clock& clock);

// Exactly count * 512 bytes from byte offset lba * 512, read on a device in
// whole sectors of its own size and never past its end. Errors: "Sector
// offset overflow" for an LBA above kMaxReadableLba (nothing is touched), the
// OS error of a failed seek or read, or "failed to fill whole buffer" when
// the target ends first.
SysResult<std::vector<uint8_t>> read_sectors_at(File& target, uint64_t lba, uint64_t count);

// A failed exclusive open of `path`. A refusal of access is ELEVATION_DENIED
// with the fixed advice (kElevationDeniedMessage) when the helper does not
// run elevated (process_is_elevated); when it does, running as administrator
// cannot help, and the answer is DEVICE_DISCONNECTED with
// "Windows refused access to <path> although the helper runs as
// administrator: a security program (such as Controlled Folder Access or an
// antivirus) or a policy that blocks writing to removable drives may be
// stopping it. <OS text>". Anything else is DEVICE_DISCONNECTED with the OS
// text.
HelperError map_raw_disk_error(const SysError& error, const std::string& path);

// The exclusive opens with a failure mapped by map_raw_disk_error, for the
// commands that answer it as it is.
Expected<FilePtr, HelperError> exclusive_read_handle(const CheckedTarget& target, Clock& clock = system_clock());
Expected<FilePtr, HelperError> exclusive_write_handle(const CheckedTarget& target, Clock& clock = system_clock());
HelperError device_disconnected_error(const SysError& error);
HelperError image_missing_error(const SysError& error);

inline constexpr const char* kElevationDeniedMessage =
    "Windows denied exclusive raw disk access. Run Corvalet Flasher as administrator, close File Explorer windows "
    "for this target, unplug and reconnect it, then try again.";

}  // namespace dh
