// The only door to a target's raw bytes: its three open modes, the sector
// reader, and the mapping of failures to the helper's error codes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/file.h"
#include "protocol/helper_error.h"

namespace dh {

inline constexpr uint64_t kSectorSize = 512;
inline constexpr uint64_t kMaxReadableLba = 0x7FFFFFFFFFFFFFull;

// Read, others may read, write and delete (read_sectors, verify_boot).
SysResult<FilePtr> open_target_shared_read(const std::string& path);
// Read, no sharing (hash_range, the mismatch tools).
SysResult<FilePtr> open_target_exclusive_read(const std::string& path);
// Read and write, no sharing, write-through (write_image).
SysResult<FilePtr> open_target_exclusive_write(const std::string& path);

// Exactly count * 512 bytes from byte offset lba * 512, read on a device in
// whole sectors of its own size and never past its end. Errors: "Sector
// offset overflow" for an LBA above kMaxReadableLba (nothing is touched), the
// OS error of a failed seek or read, or "failed to fill whole buffer" when
// the target ends first.
SysResult<std::vector<uint8_t>> read_sectors_at(File& target, uint64_t lba, uint64_t count);

// A failed exclusive open: ELEVATION_DENIED with the fixed advice when access
// was refused, DEVICE_DISCONNECTED with the OS text otherwise.
HelperError map_raw_disk_error(const SysError& error);
HelperError device_disconnected_error(const SysError& error);
HelperError image_missing_error(const SysError& error);

inline constexpr const char* kElevationDeniedMessage =
    "Windows denied exclusive raw disk access. Run Corvalet Flasher as administrator, close File Explorer windows "
    "for this target, unplug and reconnect it, then try again.";

}  // namespace dh
