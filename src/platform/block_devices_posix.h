// Linux block devices as sysfs describes them: which whole disk a device is
// or lies on, and which devices hold the root file system. POSIX backend
// only; elsewhere (no /sys) every answer is "unknown".
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace dh {

struct BlockDisk {
  uint32_t number = 0;     // the whole disk's major << 20 | minor (Linux's own 32-bit form)
  uint32_t partition = 0;  // the partition's index on that disk; 0 for the disk itself
  std::string path;        // "/dev/" and the whole disk's kernel name
};

// The whole disk under block device `device` (a disk answers itself); nothing
// when sysfs does not know the device.
std::optional<BlockDisk> block_disk_of(dev_t device);

// Device paths of the block devices that hold the file system mounted at /:
// the device itself and, for a mapped or assembled device (LVM, dm-crypt,
// RAID), every device under it. Empty when / lies on no block device (an
// overlay or another file system without one, as in many containers).
std::vector<std::string> root_block_devices();

}  // namespace dh
