#include "support/partition_manager.h"

#include <algorithm>
#include <optional>

#include "formats/little_endian.h"
#include "formats/mbr_fat.h"

namespace dh::test {
namespace {

constexpr uint64_t kSector = 512;
constexpr uint8_t kGptProtective = 0xEE;

// The medium's bytes at `offset` (zeros past its end), through `drive` when
// a handle holds it, else through an open of its own.
ByteVector read_at(File* drive, const std::string& path, uint64_t offset, size_t len) {
  ByteVector bytes(len, 0);
  FilePtr own;
  if (drive == nullptr) {
    auto opened = native_file_system().open(path, OpenMode::kSharedRead);
    if (!opened) return bytes;
    own = std::move(opened).value();
    drive = own.get();
  }
  if (!drive->seek(offset)) return bytes;
  size_t done = 0;
  while (done < len) {
    auto got = drive->read(bytes.data() + done, len - done);
    if (!got || *got == 0) break;
    done += *got;
  }
  return bytes;
}

// Writes through `drive`; a model without a writable handle writes nothing.
void write_at(File* drive, uint64_t offset, const ByteVector& bytes) {
  if (drive != nullptr && drive->seek(offset)) (void)write_all(*drive, bytes.data(), bytes.size());
}

ByteVector extents_bytes(uint32_t disk, uint64_t offset, uint64_t length) {
  ByteVector b(8 + 24, 0);
  put_u32(b, 0, 1);
  put_u32(b, 8, disk);
  put_u64(b, 16, offset);
  put_u64(b, 24, length);
  return b;
}

}  // namespace

PartitionManager::PartitionManager(FaultFileSystem& fs, FakeVolumes& volumes, const std::string& drive, uint32_t disk,
                                   std::string backing, Trigger trigger)
    : fs_(fs), volumes_(volumes), drive_(drive), disk_(disk), backing_(std::move(backing)), trigger_(trigger) {
  fs_.model_drive(drive_, this);
  reread(nullptr);
}

PartitionManager::~PartitionManager() { fs_.model_drive(drive_, nullptr); }

std::string PartitionManager::volume_name(uint64_t start_lba, uint64_t sectors) const {
  return "\\\\?\\Volume{disk" + std::to_string(disk_) + "-" + std::to_string(start_lba) + "-" +
         std::to_string(sectors) + "}\\";
}

std::vector<std::string> PartitionManager::present() const {
  std::vector<std::string> names;
  for (const auto& v : volumes_.volumes) {
    if (v.present) names.push_back(v.name);
  }
  return names;
}

bool PartitionManager::extent_of(const FakeVolumeSetup& volume, Extent& extent) const {
  const ByteVector& b = volume.extents;
  if (b.size() < 32 || le_u32(b, 0) == 0 || le_u32(b, 8) != disk_) return false;
  extent = Extent{le_uint<uint64_t>(b, 16), le_uint<uint64_t>(b, 24)};
  return true;
}

void PartitionManager::reread(File* drive) {
  ByteVector mbr = read_at(drive, backing_, 0, kSector);
  std::vector<PartitionEntry> entries;
  if (mbr_signature_present(mbr)) {
    for (const auto& e : parse_partition_entries(mbr)) {
      if (e.partition_type != kGptProtective) entries.push_back(e);
    }
  }
  events.push_back("layout " + std::to_string(entries.size()) + " partitions");
  // Volumes of this disk whose partition is gone go away.
  for (auto& v : volumes_.volumes) {
    Extent extent;
    if (!v.present || !extent_of(v, extent)) continue;
    if (std::find(managed_.begin(), managed_.end(), v.name) == managed_.end()) continue;
    bool kept = false;
    for (const auto& e : entries) {
      kept = kept || (e.start_lba * kSector == extent.offset && uint64_t{e.sector_count} * kSector == extent.length);
    }
    if (!kept) {
      v.present = false;
      events.push_back("remove " + v.name);
    }
  }
  // New partitions become volumes, not yet mounted.
  for (const auto& e : entries) {
    std::string name = volume_name(e.start_lba, e.sector_count);
    bool known = false;
    for (const auto& v : volumes_.volumes) known = known || (v.present && v.name == name);
    if (known) continue;
    FakeVolumeSetup& added = volumes_.add(name, {disk_});
    added.extents = extents_bytes(disk_, e.start_lba * kSector, uint64_t{e.sector_count} * kSector);
    added.mounted = FakeVolumeSetup::Mount::kNone;
    managed_.push_back(name);
    events.push_back("add " + name);
  }
  mount_untouched(drive);
}

void PartitionManager::mount_untouched(File* drive) {
  for (auto& v : volumes_.volumes) {
    Extent extent;
    if (!v.present || v.locks_held > 0 || v.mounted != FakeVolumeSetup::Mount::kNone || !extent_of(v, extent)) {
      continue;
    }
    mount(drive, v, extent);
  }
}

void PartitionManager::mount(File* drive, FakeVolumeSetup& volume, const Extent& extent) {
  // Without a handle (the layout read when the model starts) the medium is
  // opened here for writing as well.
  FilePtr own;
  if (drive == nullptr) {
    if (auto opened = native_file_system().open(backing_, OpenMode::kExclusiveWrite)) own = std::move(opened).value();
    drive = own.get();
  }
  ByteVector first = read_at(drive, backing_, extent.offset, kSector);
  FatBootSector boot = parse_fat_boot_sector(first);
  std::optional<FatType> type = boot.signature_present ? fat_type(boot) : std::nullopt;
  if (!type || boot.bytes_per_sector != kSector || boot.fat_count == 0) {
    volume.mounted = FakeVolumeSetup::Mount::kRaw;
    events.push_back("mount RAW " + volume.name);
    return;
  }
  volume.mounted = FakeVolumeSetup::Mount::kFat;
  events.push_back("mount FAT " + volume.name);
  // Dirty until a clean dismount: the clean-shutdown bit of FAT entry 1.
  const uint64_t fat_start = extent.offset + uint64_t{boot.reserved_sectors} * kSector;
  const uint64_t fat_bytes = uint64_t{fat_size_sectors(boot)} * kSector;
  for (uint8_t i = 0; i < boot.fat_count; ++i) {
    const uint64_t fat = fat_start + i * fat_bytes;
    if (*type == FatType::kFat32) {
      ByteVector entry = read_at(drive, backing_, fat + 4, 4);
      put_u32(entry, 0, le_u32(entry, 0) & ~0x08000000u);
      write_at(drive, fat + 4, entry);
    } else if (*type == FatType::kFat16) {
      ByteVector entry = read_at(drive, backing_, fat + 2, 2);
      entry[1] = static_cast<uint8_t>(entry[1] & 0x7F);
      write_at(drive, fat + 2, entry);
    }
  }
  if (*type == FatType::kFat32 && boot.fsinfo_sector != 0) {
    ByteVector unknown;
    put_u32(unknown, 0, 0xFFFFFFFFu);
    write_at(drive, extent.offset + uint64_t{boot.fsinfo_sector} * kSector + 488, unknown);
  }
}

SysStatus PartitionManager::before_write(File& drive, uint64_t offset, size_t len) {
  mount_untouched(&drive);
  for (const auto& v : volumes_.volumes) {
    Extent extent;
    if (!v.present || v.locks_held > 0 || v.mounted != FakeVolumeSetup::Mount::kFat || !extent_of(v, extent)) {
      continue;
    }
    if (offset < extent.offset + extent.length && extent.offset < offset + len) {
      events.push_back("refuse " + std::to_string(offset));
      return unexpected(SysError::from_os(os_error_code(SysErrorKind::kAccessDenied)));
    }
  }
  return {};
}

void PartitionManager::after_write(File& drive, uint64_t offset, size_t) {
  if (trigger_ == Trigger::kWriteToLba0 && offset == 0) reread(&drive);
}

void PartitionManager::write_handle_closing(File& drive) {
  if (trigger_ == Trigger::kWriteHandleClose) reread(&drive);
}

void PartitionManager::layout_refreshed(File& drive) {
  if (trigger_ == Trigger::kUpdateProperties) reread(&drive);
}

}  // namespace dh::test
