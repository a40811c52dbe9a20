// What Windows does around a removable drive while a writer streams an image
// onto \\.\PhysicalDriveN, as a double over a FaultFileSystem raw drive and
// FakeVolumes, rule by rule:
//
// 1. The partition manager turns the partition table at LBA 0 into volumes
//    when it reads the layout again. When that happens is what the trigger
//    says: on IOCTL_DISK_UPDATE_PROPERTIES ("invalidates the cached partition
//    table and re-enumerates the device"), when a handle that wrote to the
//    drive closes, or after any write that touches LBA 0. A volume whose
//    partition (start and size) is still in the table stays as it is; one
//    whose partition is gone is removed (its handles stay open, unusable);
//    each new partition becomes a new volume. Volumes the table does not
//    describe (added to FakeVolumes by the test: a spanned or dynamic volume)
//    are left alone. Only MBR tables are read
//    (four primary entries, the GPT-protective 0xEE included as no volume).
// 2. A volume that nobody holds locked is mounted at once, as the mount
//    manager, AutoPlay and File Explorer touch every new volume: with FAT
//    when its first sector is a FAT boot sector whose clusters can be counted,
//    else with RAW. The same happens to a volume that was dismounted but is
//    not locked ("without a successful lock operation, a dismounted volume
//    may be remounted by any process at any time", FSCTL_DISMOUNT_VOLUME),
//    before each write to the drive.
// 3. Mounting FAT marks the volume dirty, as Windows does until a clean
//    dismount: it clears the clean-shutdown bit of FAT entry 1 in each FAT
//    (bit 27 on FAT32, bit 15 on FAT16; FAT12 has none) and, on FAT32, sets
//    FSInfo's free cluster count to unknown (0xFFFFFFFF).
// 4. A raw write whose sectors fall inside a volume mounted with FAT and not
//    locked fails with ERROR_ACCESS_DENIED (5; EACCES natively): "A write on a disk handle will
//    succeed if one of the following conditions is true: The sectors to be
//    written to do not fall within a volume's extents. The sectors to be
//    written to fall within a mounted volume, but you have explicitly locked
//    or dismounted the volume by using FSCTL_LOCK_VOLUME or
//    FSCTL_DISMOUNT_VOLUME. The sectors to be written to fall within a volume
//    that has no mounted file system other than RAW." (WriteFile, remarks).
//    A locked volume refuses nothing.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/fake_volumes.h"
#include "support/fault_file_system.h"

namespace dh::test {

class PartitionManager final : public DriveModel {
 public:
  enum class Trigger { kUpdateProperties, kWriteHandleClose, kWriteToLba0 };

  // Models disk `disk`, the raw drive `drive` of `fs` held in the file
  // `backing`: reads its layout once now (the volumes a used card arrives
  // with, mounted), and again as `trigger` says.
  PartitionManager(FaultFileSystem& fs, FakeVolumes& volumes, const std::string& drive, uint32_t disk,
                   std::string backing, Trigger trigger);
  ~PartitionManager() override;
  PartitionManager(const PartitionManager&) = delete;
  PartitionManager& operator=(const PartitionManager&) = delete;

  // "layout <n> partitions", "add <volume>", "remove <volume>", "mount
  // <FAT|RAW> <volume>", "refuse <offset>" in the order they happened.
  std::vector<std::string> events;
  // The volumes present now, as enumerated.
  std::vector<std::string> present() const;
  // The volume name a partition at `start_lba` of `sectors` gets.
  std::string volume_name(uint64_t start_lba, uint64_t sectors) const;

  SysStatus before_write(File& drive, uint64_t offset, size_t len) override;
  void after_write(File& drive, uint64_t offset, size_t len) override;
  void write_handle_closing(File& drive) override;
  void layout_refreshed(File& drive) override;

 private:
  struct Extent {
    uint64_t offset = 0;
    uint64_t length = 0;
  };
  // `drive` is an open of the medium, or null when none is open (then the
  // backing file is opened here).
  void reread(File* drive);
  void mount_untouched(File* drive);
  void mount(File* drive, FakeVolumeSetup& volume, const Extent& extent);
  // The volume's one extent on this disk, if it has one.
  bool extent_of(const FakeVolumeSetup& volume, Extent& extent) const;

  FaultFileSystem& fs_;
  FakeVolumes& volumes_;
  std::string drive_;
  uint32_t disk_;
  std::string backing_;
  Trigger trigger_;
  std::vector<std::string> managed_;  // the volumes made from partition tables
};

}  // namespace dh::test
