// Telling a harmless readback difference (Windows rewrote the FAT bookkeeping
// sectors of the freshly written boot partition on mount) from real damage.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "protocol/helper_error.h"
#include "protocol/request.h"
#include "rawdisk/raw_access.h"

namespace dh {

// A half-open byte range [start, end) of the image.
struct ByteRange {
  uint64_t start = 0;
  uint64_t end = 0;
  friend bool operator==(const ByteRange&, const ByteRange&) = default;
};

// What Windows may rewrite when it mounts the boot partition: on FAT32 the
// FSInfo sector and the backup FSInfo sector, then on every FAT type the first
// two entries of each FAT (8 bytes on FAT32, 4 on FAT16, 3 on FAT12), in that
// order, of the first MBR partition with a FAT type byte (0x01, 0x04, 0x06,
// 0x0B, 0x0C, 0x0E, 0xEF) whose boot sector is usable (one whose FAT type can
// be told from its cluster count among them). Partitions and ranges are cut
// at `bytes_total`; empty ranges are dropped. An image without an MBR
// signature or a usable FAT boot sector gives an empty list. Errors: the
// image's open or read (an image shorter than a sector read gives "failed to
// fill whole buffer").
SysResult<std::vector<ByteRange>> locate_fat_metadata(const std::string& image_path, uint64_t bytes_total);

// More differing bytes than this inside the known sectors is not a mount
// side effect any more.
inline constexpr uint64_t kMaxMetadataDiffBytes = 524288;

// Compares the first `bytes_total` bytes of image and target and answers
// {"safe","message"[,"firstUnsafeOffset"][,"metadataDiffBytes"]}. Errors: the
// metadata search as UNKNOWN; the image's open, seek or read (an early end
// included) as IMAGE_MISSING; the target's open through map_raw_disk_error;
// its seek or read (an early end included) as DEVICE_DISCONNECTED.
HandlerResult classify_mismatch(const std::string& image_path, const CheckedTarget& target, uint64_t bytes_total);

// Payload: imagePath, bytesTotal, osDevicePath/deviceId.
HandlerResult handle_classify_mismatch(const WindowsHelperRequest& request);

}  // namespace dh
