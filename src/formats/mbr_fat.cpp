#include "formats/mbr_fat.h"

#include <algorithm>
#include <unordered_set>
#include <utility>

#include "base/text.h"
#include "formats/little_endian.h"

namespace dh {
namespace {

constexpr size_t kSignatureEnd = 512;
constexpr size_t kPartitionTableOffset = 446;
constexpr size_t kPartitionEntrySize = 16;
constexpr size_t kDirectoryEntrySize = 32;
constexpr uint32_t kLastChainCluster = 0x0FFFFFF7;  // above: end-of-chain marks
constexpr uint32_t kClusterMask = 0x0FFFFFFF;
constexpr uint64_t kFatEntriesPerSector = 128;

std::string_view as_chars(Bytes b) { return {reinterpret_cast<const char*>(b.data()), b.size()}; }

// Lossy UTF-8, trimmed: the form of every text field read from disk.
std::string field_text(Bytes b) { return std::string(trim_unicode(utf8_lossy(as_chars(b)))); }

}  // namespace

bool is_fat_partition_type(uint8_t type) {
  switch (type) {
    case 0x01:
    case 0x04:
    case 0x06:
    case 0x0B:
    case 0x0C:
    case 0x0E:
    case 0xEF: return true;
    default: return false;
  }
}

bool mbr_signature_present(Bytes sector) {
  return sector.size() >= kSignatureEnd && sector[510] == 0x55 && sector[511] == 0xAA;
}

std::vector<PartitionEntry> parse_partition_entries(Bytes mbr) {
  std::vector<PartitionEntry> entries;
  for (size_t i = 0; i < 4; ++i) {
    size_t off = kPartitionTableOffset + i * kPartitionEntrySize;
    if (off + kPartitionEntrySize > mbr.size()) break;
    PartitionEntry entry{i + 1, le_u32(mbr, off + 8), le_u8(mbr, off + 4), le_u32(mbr, off + 12)};
    if (entry.partition_type != 0 && entry.start_lba != 0 && entry.sector_count != 0) entries.push_back(entry);
  }
  return entries;
}

std::optional<PartitionEntry> find_boot_partition(const std::vector<PartitionEntry>& entries) {
  for (const auto& entry : entries) {
    if (is_fat_partition_type(entry.partition_type)) return entry;
  }
  return std::nullopt;
}

std::optional<PartitionEntry> find_root_partition(const std::vector<PartitionEntry>& entries,
                                                  const std::optional<PartitionEntry>& boot) {
  for (const auto& entry : entries) {
    if (entry.partition_type == 0x83 && !(boot && boot->number == entry.number)) return entry;
  }
  return std::nullopt;
}

FatBootSector parse_fat_boot_sector(Bytes sector) {
  FatBootSector boot;
  boot.bytes_per_sector = le_u16(sector, 0x0B);
  boot.sectors_per_cluster = le_u8(sector, 0x0D);
  boot.reserved_sectors = le_u16(sector, 0x0E);
  boot.fat_count = le_u8(sector, 0x10);
  boot.root_entry_count = le_u16(sector, 0x11);
  boot.total_sectors_16 = le_u16(sector, 0x13);
  boot.sectors_per_fat_16 = le_u16(sector, 0x16);
  boot.total_sectors_32 = le_u32(sector, 0x20);
  boot.sectors_per_fat = le_u32(sector, 0x24);
  boot.root_cluster = le_u32(sector, 0x2C);
  boot.fsinfo_sector = le_u16(sector, 0x30);
  boot.backup_boot_sector = le_u16(sector, 0x32);
  if (sector.size() > 0x52) {
    boot.file_system_type = field_text(sector.subspan(0x52, std::min<size_t>(8, sector.size() - 0x52)));
  }
  boot.signature_present = mbr_signature_present(sector);
  return boot;
}

uint32_t fat_size_sectors(const FatBootSector& boot) {
  return boot.sectors_per_fat_16 != 0 ? boot.sectors_per_fat_16 : boot.sectors_per_fat;
}

std::optional<FatType> fat_type(const FatBootSector& boot) {
  if (boot.bytes_per_sector == 0 || boot.sectors_per_cluster == 0) return std::nullopt;
  const uint64_t root_directory_sectors =
      (uint64_t{boot.root_entry_count} * kDirectoryEntrySize + boot.bytes_per_sector - 1) / boot.bytes_per_sector;
  const uint64_t total = boot.total_sectors_16 != 0 ? boot.total_sectors_16 : boot.total_sectors_32;
  // At most 2^16 + 2^8 * 2^32 + 2^16: no overflow in 64 bits.
  const uint64_t in_front =
      uint64_t{boot.reserved_sectors} + uint64_t{boot.fat_count} * fat_size_sectors(boot) + root_directory_sectors;
  if (total < in_front) return std::nullopt;
  const uint64_t clusters = (total - in_front) / boot.sectors_per_cluster;
  if (clusters < 4085) return FatType::kFat12;
  if (clusters < 65525) return FatType::kFat16;
  return FatType::kFat32;
}

bool fat_layout_readable(const FatBootSector& boot) {
  return boot.signature_present && boot.bytes_per_sector >= 512 && boot.bytes_per_sector <= 4096 &&
         boot.sectors_per_cluster != 0 && boot.reserved_sectors != 0 && boot.fat_count != 0 &&
         boot.sectors_per_fat != 0 && boot.root_cluster > 1;
}

SysResult<std::vector<uint8_t>> read_cluster_chain(const SectorReader& read, uint32_t partition_start_lba,
                                                   uint16_t reserved_sectors, uint8_t fat_count,
                                                   uint32_t sectors_per_fat, uint8_t sectors_per_cluster,
                                                   uint32_t first_cluster) {
  // The input widths keep every LBA below 2^41: start (32 bits) + reserved
  // (16) + FAT count (8) x FAT size (32) + cluster (28) x cluster size (8).
  // That is far below the sector reader's limit, so nothing here can wrap.
  const uint64_t fat_start = uint64_t{partition_start_lba} + reserved_sectors;
  const uint64_t data_start = fat_start + uint64_t{fat_count} * sectors_per_fat;

  std::vector<uint8_t> chain;
  std::unordered_set<uint32_t> visited;
  uint32_t count = 0;
  uint32_t current = first_cluster;
  while (current <= kLastChainCluster && count < kMaxChainClusters && current > 1 && !visited.contains(current)) {
    visited.insert(current);
    auto cluster = read(data_start + uint64_t{current - 2} * sectors_per_cluster, sectors_per_cluster);
    DH_TRY(cluster);
    chain.insert(chain.end(), cluster->begin(), cluster->end());

    auto fat_sector = read(fat_start + current / kFatEntriesPerSector, 1);
    DH_TRY(fat_sector);
    ++count;
    const size_t entry_offset = static_cast<size_t>(current % kFatEntriesPerSector) * 4;
    if (fat_sector->size() < entry_offset + 4) return unexpected(SysError::fixed(kShortFatEntryText));
    current = le_u32(*fat_sector, entry_offset) & kClusterMask;
  }
  return chain;
}

std::vector<std::string> list_directory_names(Bytes directory) {
  std::vector<std::string> names;
  for (size_t off = 0; off + kDirectoryEntrySize <= directory.size(); off += kDirectoryEntrySize) {
    Bytes entry = directory.subspan(off, kDirectoryEntrySize);
    if (entry[0] == 0x00) break;
    if (entry[0] == 0xE5) continue;
    if (entry[11] & 0x08) continue;  // volume label, or a long-name entry (0x0F)
    std::string name = ascii_upper(field_text(entry.subspan(0, 8)));
    if (name.empty()) continue;
    std::string extension = ascii_upper(field_text(entry.subspan(8, 3)));
    if (!extension.empty()) {
      name += '.';
      name += extension;
    }
    names.push_back(std::move(name));
  }
  return names;
}

bool has_exact_name(const std::vector<std::string>& names, std::string_view wanted) {
  const std::string upper = ascii_upper(wanted);
  return std::find(names.begin(), names.end(), upper) != names.end();
}

bool has_prefixed_name(const std::vector<std::string>& names, std::string_view prefix, std::string_view extension) {
  const std::string head = ascii_upper(prefix);
  const std::string tail = "." + ascii_upper(extension);
  return std::any_of(names.begin(), names.end(),
                     [&](const std::string& name) { return name.starts_with(head) && name.ends_with(tail); });
}

}  // namespace dh
