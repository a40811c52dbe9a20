// The target checks: which disk's volumes a path may lock, and the refusal of
// the running system's disk, with the volume and file-system doubles, then
// against the real system disk with read-only commands.
#include <gtest/gtest.h>

#include "rawdisk/target_guard.h"
#include "support/fake_clock.h"
#include "support/fake_volumes.h"
#include "support/fault_file_system.h"
#include "support/test_support.h"

namespace dh {
namespace {

using test::FakeClock;
using test::FakeVolumes;

// Test constants: a start-up allocation failure would only abort the test run.
// NOLINTBEGIN(cert-err58-cpp)
const std::string kOnDisk0 = "\\\\?\\Volume{00000000-0000-0000-0000-000000000000}\\";
const std::string kOnDisk2 = "\\\\?\\Volume{22222222-0000-0000-0000-000000000002}\\";
const std::string kOnDisk5 = "\\\\?\\Volume{55555555-0000-0000-0000-000000000005}\\";
// NOLINTEND(cert-err58-cpp)

PathDevice disk(uint32_t number, uint32_t partition = 0, uint32_t type = kFileDeviceDisk) {
  return PathDevice{true, DeviceNumber{type, number, partition, "\\\\.\\PhysicalDrive" + std::to_string(number)}};
}

TEST(VolumeLockDecision, OnlyTheWholeDiskThePathOpensIsLocked) {
  test::TempDir dir;
  const std::string file = dir.file("PhysicalDrive2.img");  // a backup named after a drive
  test::write_file(file, "image");
  struct Case {
    std::string path;
    std::optional<PathDevice> device;  // what the path opens; unset: as Windows answers it
    int query_error;
    std::vector<std::string> locked;  // volumes locked and dismounted
    std::string refusal;
  };
  const std::vector<Case> cases = {
      {"\\\\.\\PhysicalDrive2", {}, 0, {kOnDisk2}, ""},
      {"\\\\?\\physicaldrive2", {}, 0, {kOnDisk2}, ""},
      {"\\\\.\\PhysicalDrive5", {}, 0, {kOnDisk5}, ""},
      {"E:", {}, 0, {}, ""},                      // no number in the path
      {file, {}, 0, {}, ""},                      // a file: nothing of disk 2
      {"\\\\.\\PhysicalDrive02", {}, 0, {}, ""},  // names no device, so opens nothing
      // A device-namespace name opens the disk it names, even when the query
      // cannot tell: its volumes are locked all the same.
      {"\\\\.\\PhysicalDrive2", {}, 2, {kOnDisk2}, ""},
      {"\\\\.\\PhysicalDrive2", PathDevice{false, {}}, 0, {kOnDisk2}, ""},
      {"\\\\.\\PhysicalDrive2", disk(2, 1), 0, {}, ""},  // a partition
      {"\\\\.\\PhysicalDrive2", disk(2, kWholeDevice), 0, {kOnDisk2}, ""},
      {"\\\\.\\PhysicalDrive2", disk(2, 0, 2), 0, {}, ""},                     // a CD-ROM numbered 2
      {"\\\\.\\PhysicalDrive2", PathDevice{true, {}}, 0, {kOnDisk2}, ""},      // a device without numbers
      {"\\\\?\\GLOBALROOT\\PhysicalDrive2", PathDevice{true, {}}, 0, {}, ""},  // another name: nothing
      {"\\\\.\\PhysicalDrive2",
       disk(5),
       0,
       {},
       "Refusing \\\\.\\PhysicalDrive2: the path names disk 2 but opens disk 5"},
  };
  for (const Case& c : cases) {
    FakeVolumes volumes;
    volumes.add(kOnDisk2, {2});
    volumes.add(kOnDisk5, {5});
    ScopedVolumeSystem scoped_volumes(volumes);
    test::FaultFileSystem files;
    if (c.device) files.set_device(c.path, *c.device);
    if (c.query_error != 0) files.fail_device_query(c.path, c.query_error);
    ScopedFileSystem scoped_files(files);
    FakeClock clock;
    auto set = lock_target_volumes(c.path, clock);
    std::vector<std::string> locked;
    for (const auto& entry : volumes.log) {
      if (entry.rfind("dismount ", 0) == 0) locked.push_back(entry.substr(9));
    }
    EXPECT_EQ(locked, c.locked) << c.path;
    if (c.refusal.empty()) {
      ASSERT_TRUE(set.has_value()) << c.path << ": " << set.error().message;
      EXPECT_EQ(set->locks.size(), c.locked.size()) << c.path;
    } else {
      ASSERT_FALSE(set.has_value()) << c.path;
      EXPECT_EQ(set.error(), (HelperError{ErrorCode::kUnknown, c.refusal}));
      EXPECT_TRUE(volumes.log.empty()) << "nothing may even be listed for " << c.path;
    }
    EXPECT_EQ(files.open_handles(), 0);
  }
}

TEST(SystemDisks, FoundThroughTheSystemVolumesExtentsOrTheirDeviceNumbers) {
  FakeVolumes volumes;
  ScopedVolumeSystem scoped_volumes(volumes);
  test::FaultFileSystem files;
  ScopedFileSystem scoped_files(files);
  EXPECT_TRUE(find_system_disks().empty());  // nothing known: nothing refused

  volumes.add(kOnDisk2, {2});
  volumes.add(kOnDisk0, {0, 3}).system = true;  // spanned onto disk 3
  auto& no_extents = volumes.add("\\\\?\\Volume{boot}\\", {});
  no_extents.system = true;
  files.set_device("\\\\?\\Volume{boot}", disk(4, 1));
  EXPECT_EQ(find_system_disks(), (std::vector<SystemDisk>{{kFileDeviceDisk, 0, "\\\\.\\PhysicalDrive0"},
                                                          {kFileDeviceDisk, 3, "\\\\.\\PhysicalDrive3"},
                                                          {kFileDeviceDisk, 4, "\\\\.\\PhysicalDrive4"}}));
  // A volume that cannot be opened still answers its device.
  no_extents.open_query_error = 5;
  EXPECT_EQ(find_system_disks().back(), (SystemDisk{kFileDeviceDisk, 4, "\\\\.\\PhysicalDrive4"}));
  EXPECT_EQ(volumes.open_handles, 0);
}

TEST(SystemDisks, RefusalNamesTheTargetAndTheDisk) {
  const std::vector<SystemDisk> system = {{kFileDeviceDisk, 0, "\\\\.\\PhysicalDrive0"},
                                          {kPosixBlockDevice, 8 << 20, "/dev/sda"}};
  const std::string windows = "Refusing t: \\\\.\\PhysicalDrive0 holds the running operating system";
  struct Case {
    SysResult<PathDevice> opened;
    std::optional<uint32_t> drive;
    std::string refusal;
  };
  const PathDevice file_on_disk0{false, DeviceNumber{kFileDeviceDisk, 0, 1, ""}};
  const PathDevice sda2{true, DeviceNumber{kPosixBlockDevice, 8 << 20, 2, "/dev/sda"}};
  const std::vector<Case> cases = {
      {disk(0), std::nullopt, windows},
      {disk(0, 2), std::nullopt, windows},  // a partition or volume of it
      {disk(1), 0, windows},                // its PowerShell steps act on disk 0
      {sda2, std::nullopt, "Refusing t: /dev/sda holds the running operating system"},
      {file_on_disk0, std::nullopt, ""},  // a file on it is no device
      {disk(1), 1, ""},
      {disk(0, 0, 2), std::nullopt, ""},  // CD-ROM 0 is no disk 0
      {PathDevice{true, DeviceNumber{kPosixBlockDevice, 0, 0, "/dev/x"}}, std::nullopt, ""},
      {unexpected(SysError::from_os(2)), std::nullopt, ""},
      {unexpected(SysError::from_os(2)), 0, windows},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    auto refused = system_disk_refusal("t", cases[i].opened, cases[i].drive, system);
    EXPECT_EQ(refused ? refused->message : "", cases[i].refusal) << "case " << i;
    if (refused) {
      EXPECT_EQ(refused->code, ErrorCode::kUnknown);
    }
  }
  EXPECT_FALSE(system_disk_refusal("t", disk(0), 0, {}).has_value());
}

// The real system: read-only commands on the disk under the running system
// are refused; a file on that disk is not.
TEST(SystemDisks, TheRealSystemDiskIsRefusedByReadOnlyCommands) {
  auto system = find_system_disks();
  if (system.empty()) GTEST_SKIP() << "this system does not tell which disk holds it (an overlay root, or Wine)";
  for (const SystemDisk& d : system) {
    RecordProperty("system_disk", d.path);
    const std::string refusal = "Refusing " + d.path + ": " + d.path + " holds the running operating system";
    auto read = test::run_command("read_sectors", {{"osDevicePath", d.path}, {"startLba", 0}, {"sectorCount", 1}});
    EXPECT_EQ(read.response["errorMessage"], refusal) << read.out;
    auto hash = test::run_command("verify_hash", {{"osDevicePath", d.path}, {"bytesTotal", 512}});
    EXPECT_EQ(hash.response["errorMessage"], refusal) << hash.out;
  }
  test::TempDir dir;
  test::write_file(dir.file("card.img"), std::string(512, 'x'));
  auto file =
      test::run_command("read_sectors", {{"osDevicePath", dir.file("card.img")}, {"startLba", 0}, {"sectorCount", 1}});
  EXPECT_EQ(file.response["ok"], true) << file.out;
}

}  // namespace
}  // namespace dh
