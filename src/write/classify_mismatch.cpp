#include "write/classify_mismatch.h"

#include <algorithm>
#include <array>
#include <limits>
#include <optional>
#include <tuple>

#include "disks/target.h"
#include "formats/mbr_fat.h"
#include "platform/buffered_io.h"
#include "protocol/payload.h"
#include "rawdisk/raw_access.h"
#include "rawdisk/target_guard.h"
#include "write/first_difference.h"

namespace dh {
namespace {

uint64_t saturating_add(uint64_t a, uint64_t b) {
  return b > std::numeric_limits<uint64_t>::max() - a ? std::numeric_limits<uint64_t>::max() : a + b;
}
uint64_t saturating_mul(uint64_t a, uint64_t b) {
  if (a != 0 && b > std::numeric_limits<uint64_t>::max() / a) return std::numeric_limits<uint64_t>::max();
  return a * b;
}

SysStatus read_sector_at(File& image, uint64_t offset, std::array<uint8_t, 512>& sector) {
  if (auto sought = image.seek(offset); !sought) return sought;
  return read_exact(image, sector.data(), sector.size());
}

// The FAT type of a boot sector whose metadata ranges can be built: signed, a
// sector size of 512 to 4096 in steps of 512, non-zero FAT count, FAT size and
// reserved area, and clusters that can be counted. Nothing otherwise.
std::optional<FatType> usable_fat_type(const FatBootSector& fat) {
  if (!(fat.signature_present && fat.bytes_per_sector >= 512 && fat.bytes_per_sector <= 4096 &&
        fat.bytes_per_sector % 512 == 0 && fat_size_sectors(fat) != 0 && fat.fat_count != 0 &&
        fat.reserved_sectors != 0)) {
    return std::nullopt;
  }
  return fat_type(fat);
}

// What a mount changes at the start of a FAT: its first two entries, the
// media descriptor entry and the entry holding the clean-shutdown and
// no-error flags (FAT12 has no flags but reserves the entry all the same).
// The bytes right after them hold the cluster chains of the root folder
// (FAT32) and of the first files, so the width must follow the entry size.
uint64_t reserved_entry_bytes(FatType type) {
  switch (type) {
    case FatType::kFat12: return 3;  // two 12-bit entries
    case FatType::kFat16: return 4;
    case FatType::kFat32: return 8;
  }
  return 0;
}

std::vector<ByteRange> metadata_ranges(const FatBootSector& fat, FatType type, uint64_t start, uint64_t end) {
  std::vector<ByteRange> ranges;
  auto add = [&](uint64_t sector, uint64_t bytes) {
    uint64_t lo = saturating_add(start, saturating_mul(sector, fat.bytes_per_sector));
    uint64_t hi = std::min(saturating_add(lo, bytes), end);
    if (lo < hi) ranges.push_back(ByteRange{lo, hi});
  };
  auto add_sector = [&](uint64_t sector) { add(sector, fat.bytes_per_sector); };
  // Only FAT32 has an FSInfo sector; on FAT12 and FAT16 the bytes where its
  // number would be are part of the volume label.
  if (type == FatType::kFat32) {
    if (fat.fsinfo_sector != 0 && fat.fsinfo_sector < fat.reserved_sectors) add_sector(fat.fsinfo_sector);
    uint32_t backup_fsinfo = static_cast<uint32_t>(fat.fsinfo_sector) + fat.backup_boot_sector;
    if (fat.fsinfo_sector != 0 && fat.backup_boot_sector != 0 && backup_fsinfo < fat.reserved_sectors) {
      add_sector(backup_fsinfo);
    }
  }
  const uint64_t fat_size = fat_size_sectors(fat);
  for (uint64_t copy = 0; copy < fat.fat_count; ++copy) {
    add(fat.reserved_sectors + copy * fat_size, reserved_entry_bytes(type));
  }
  return ranges;
}

bool in_any_range(const std::vector<ByteRange>& ranges, uint64_t offset) {
  for (const auto& range : ranges) {
    if (offset >= range.start && offset < range.end) return true;
  }
  return false;
}

nlohmann::json verdict(bool safe, std::string message) { return {{"safe", safe}, {"message", std::move(message)}}; }

}  // namespace

SysResult<std::vector<ByteRange>> locate_fat_metadata(const std::string& image_path, uint64_t bytes_total) {
  auto opened = file_system().open(image_path, OpenMode::kSharedRead);
  DH_TRY(opened);
  FilePtr image = std::move(opened).value();

  std::array<uint8_t, 512> mbr{};
  DH_TRY(read_sector_at(*image, 0, mbr));
  if (!mbr_signature_present(mbr)) return std::vector<ByteRange>{};

  for (const PartitionEntry& entry : parse_partition_entries(mbr)) {
    if (!is_fat_partition_type(entry.partition_type)) continue;
    uint64_t start = static_cast<uint64_t>(entry.start_lba) * kSectorSize;
    uint64_t end = std::min(start + static_cast<uint64_t>(entry.sector_count) * kSectorSize, bytes_total);
    if (end <= start) continue;

    std::array<uint8_t, 512> boot{};
    DH_TRY(read_sector_at(*image, start, boot));
    FatBootSector fat = parse_fat_boot_sector(boot);
    std::optional<FatType> type = usable_fat_type(fat);
    if (!type) continue;
    // The first usable boot sector decides, even when all its ranges lie
    // beyond bytes_total.
    return metadata_ranges(fat, *type, start, end);
  }
  return std::vector<ByteRange>{};
}

HandlerResult classify_mismatch(const std::string& image_path, const CheckedTarget& checked, uint64_t bytes_total) {
  auto located = locate_fat_metadata(image_path, bytes_total);
  if (!located) return unexpected(helper_error(ErrorCode::kUnknown, located.error()));
  const std::vector<ByteRange>& ranges = *located;
  if (ranges.empty()) return verdict(false, "Unable to locate known FAT metadata sectors in the prepared image.");

  auto files = open_for_comparison(image_path, checked);
  DH_TRY(files);
  FilePtr image = std::move(files->image);
  FilePtr target = std::move(files->target);

  AlignedReader target_reader(*target, target->kind());
  std::vector<uint8_t> expected(kIoBufferSize);
  std::vector<uint8_t> observed(kIoBufferSize);
  uint64_t metadata_diff_bytes = 0;
  for (uint64_t position = 0; position < bytes_total;) {
    size_t c = static_cast<size_t>(std::min<uint64_t>(bytes_total - position, kIoBufferSize));
    if (auto read = read_exact(*image, expected.data(), c); !read) return unexpected(image_missing_error(read.error()));
    auto read = target_reader.read_full(observed.data(), c);
    if (!read) return unexpected(device_disconnected_error(read.error()));
    if (*read < c) return unexpected(device_disconnected_error(SysError::fixed(kShortReadText)));
    auto e = expected.begin();
    auto o = observed.begin();
    const auto e_end = expected.begin() + static_cast<ptrdiff_t>(c);
    while ((std::tie(e, o) = std::mismatch(e, e_end, o)), e != e_end) {
      uint64_t offset = position + static_cast<uint64_t>(e - expected.begin());
      if (!in_any_range(ranges, offset)) {
        auto answer = verdict(false, "The readback differs outside known FAT metadata sectors at byte offset " +
                                         std::to_string(offset) + ".");
        answer["firstUnsafeOffset"] = offset;
        answer["metadataDiffBytes"] = metadata_diff_bytes;
        return answer;
      }
      if (++metadata_diff_bytes > kMaxMetadataDiffBytes) {
        auto answer =
            verdict(false, "The FAT metadata changed too much to classify as a normal Windows mount side effect.");
        answer["metadataDiffBytes"] = metadata_diff_bytes;
        return answer;
      }
      ++e;
      ++o;
    }
    position += c;
  }
  auto answer =
      verdict(true, "Only known FAT metadata sectors changed after the write (" + std::to_string(metadata_diff_bytes) +
                        " differing byte" + (metadata_diff_bytes == 1 ? "" : "s") + ").");
  answer["metadataDiffBytes"] = metadata_diff_bytes;
  return answer;
}

HandlerResult handle_classify_mismatch(const WindowsHelperRequest& request) {
  auto image_field = payload_path(request.payload, "imagePath");
  DH_TRY(image_field);
  if (!*image_field) return unexpected(unknown_error(missing_field::kImagePath));
  const std::string& image_path = **image_field;
  auto bytes_total = payload_u64(request.payload, "bytesTotal");
  if (!bytes_total) return unexpected(unknown_error(missing_field::kBytesTotal));
  auto device_path = resolve_target_path(request.payload);
  DH_TRY(device_path);
  auto target = check_raw_target(*device_path);
  DH_TRY(target);
  return classify_mismatch(image_path, *target, *bytes_total);
}

}  // namespace dh
