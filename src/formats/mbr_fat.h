// Reading a written boot medium the way the Raspberry Pi firmware does: the
// MBR partition table, the FAT32 boot sector of the boot partition, the root
// directory's cluster chain and the 8.3 names in it; and the FAT type of a
// boot sector, from its own counts in its own sectors. Everything here is a
// pure function over sector buffers or over a sector reader the caller
// gives. All positions are in 512-byte sectors.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"
#include "platform/sys_error.h"

namespace dh {

using Bytes = std::span<const uint8_t>;

// A used MBR partition entry (type, start and sector count all non-zero).
struct PartitionEntry {
  uint64_t number = 0;  // 1 to 4: the position in the table
  uint32_t start_lba = 0;
  uint8_t partition_type = 0;
  uint32_t sector_count = 0;

  friend bool operator==(const PartitionEntry&, const PartitionEntry&) = default;
};

// The BIOS parameter block fields the boot inspection and the mismatch
// classifier use. The fields from 0x24 on are the FAT32 form's; on a FAT12 or
// FAT16 volume those bytes hold other things (drive number, serial, label).
struct FatBootSector {
  uint16_t bytes_per_sector = 0;
  uint8_t sectors_per_cluster = 0;
  uint16_t reserved_sectors = 0;
  uint8_t fat_count = 0;
  uint16_t root_entry_count = 0;    // 0x11: 0 on FAT32
  uint16_t total_sectors_16 = 0;    // 0x13: 0 when the count needs 32 bits
  uint16_t sectors_per_fat_16 = 0;  // 0x16: 0 on FAT32
  uint32_t total_sectors_32 = 0;    // 0x20
  uint32_t sectors_per_fat = 0;     // 0x24: the FAT32 FAT size
  uint32_t root_cluster = 0;
  uint16_t fsinfo_sector = 0;
  uint16_t backup_boot_sector = 0;
  std::string file_system_type;  // the 8 bytes at 0x52, lossy UTF-8, trimmed
  bool signature_present = false;
};

// At least 512 bytes with 0x55 at 510 and 0xAA at 511 (MBR and boot sector).
bool mbr_signature_present(Bytes sector);

// The used entries of the four-entry table at offset 446, in table order.
// Entries that do not fit in a short buffer are treated as unused.
std::vector<PartitionEntry> parse_partition_entries(Bytes mbr);

// FAT partition types (0x01, 0x04, 0x06, 0x0B, 0x0C, 0x0E) and the EFI system
// partition (0xEF), which holds FAT too.
bool is_fat_partition_type(uint8_t type);

// The first entry of a FAT type (0x01, 0x04, 0x06, 0x0B, 0x0C, 0x0E) or an EFI
// system partition (0xEF); nothing else qualifies (a GPT-protective 0xEE
// entry included).
std::optional<PartitionEntry> find_boot_partition(const std::vector<PartitionEntry>& entries);
// The first Linux (0x83) entry other than the boot partition.
std::optional<PartitionEntry> find_root_partition(const std::vector<PartitionEntry>& entries,
                                                  const std::optional<PartitionEntry>& boot);

// Reads the fields at their fixed offsets whatever the partition type said;
// fields beyond a short buffer read as 0.
FatBootSector parse_fat_boot_sector(Bytes sector);

enum class FatType { kFat12, kFat16, kFat32 };

// The size of one FAT in sectors: the 16-bit field when it is non-zero, else
// the FAT32 field.
uint32_t fat_size_sectors(const FatBootSector& boot);

// The FAT type as Windows tells it, by the count of data clusters alone:
// below 4085 FAT12, below 65525 FAT16, else FAT32. The count is the sectors
// left after the reserved sectors, the FATs (fat_size_sectors) and the root
// directory (32-byte entries), divided by the sectors per cluster; the total
// is the 16-bit count, or the 32-bit one when that is 0. Nothing when the
// clusters cannot be counted: 0 bytes per sector or sectors per cluster, or
// a total below the sectors in front of the data.
std::optional<FatType> fat_type(const FatBootSector& boot);
// Signature present, 512 <= bytes per sector <= 4096, non-zero sectors per
// cluster, reserved sectors, FAT count and FAT size, root cluster above 1.
bool fat_layout_readable(const FatBootSector& boot);

// Reads `count` sectors at `lba`: exactly count * 512 bytes or an error text.
using SectorReader = std::function<SysResult<std::vector<uint8_t>>(uint64_t lba, uint64_t count)>;

inline constexpr uint32_t kMaxChainClusters = 256;
inline constexpr const char* kShortFatEntryText = "FAT table entry was shorter than expected.";

// The bytes of the cluster chain that starts at `first_cluster`, read through
// the first FAT. The chain ends without error on an end-of-chain mark
// (0x0FFFFFF8 and above), on a free or reserved next value (0 or 1), on a
// cluster already read, or after 256 clusters; what was read so far is the
// result. Errors: the sector reader's text, or kShortFatEntryText when a FAT
// sector is too short for the entry. At most 256 * 255 * 512 bytes.
SysResult<std::vector<uint8_t>> read_cluster_chain(const SectorReader& read, uint32_t partition_start_lba,
                                                   uint16_t reserved_sectors, uint8_t fat_count,
                                                   uint32_t sectors_per_fat, uint8_t sectors_per_cluster,
                                                   uint32_t first_cluster);

// The 8.3 names of a directory's entries in directory order, upper-cased
// ("CONFIG.TXT", "OVERLAYS"). Stops at the first entry starting with 0x00;
// skips deleted entries (0xE5) and entries with the volume-label bit (labels
// and long-name entries). Never fails: invalid UTF-8 becomes U+FFFD.
std::vector<std::string> list_directory_names(Bytes directory);

// Some name equals `wanted` in ASCII upper case.
bool has_exact_name(const std::vector<std::string>& names, std::string_view wanted);
// Some name starts with `prefix` and ends with "." + `extension` (ASCII upper
// case); anything or nothing may stand between.
bool has_prefixed_name(const std::vector<std::string>& names, std::string_view prefix, std::string_view extension);

}  // namespace dh
