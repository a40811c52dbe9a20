// Volume lock and dismount against scripted volumes and a fake clock.
#include <gtest/gtest.h>

#include "platform/sys_error.h"
#include "rawdisk/target_guard.h"
#include "rawdisk/volume_lock.h"
#include "support/fake_clock.h"
#include "support/fake_volumes.h"
#include "support/fault_file_system.h"

namespace dh {
namespace {

using std::chrono::milliseconds;
using test::FakeClock;
using test::FakeVolumes;

// Test constants: a start-up allocation failure would only abort the test run.
// NOLINTBEGIN(cert-err58-cpp)
const std::string kA = "\\\\?\\Volume{aaaaaaaa-0000-0000-0000-000000000001}\\";
const std::string kB = "\\\\?\\Volume{bbbbbbbb-0000-0000-0000-000000000002}\\";
const std::string kC = "\\\\?\\Volume{cccccccc-0000-0000-0000-000000000003}\\";
const std::string kD = "\\\\?\\Volume{dddddddd-0000-0000-0000-000000000004}\\";
const std::string kE = "\\\\?\\Volume{eeeeeeee-0000-0000-0000-000000000005}\\";
const std::string kF = "\\\\?\\Volume{ffffffff-0000-0000-0000-000000000006}\\";
const std::string kAdvice = "Close File Explorer windows and other programs using this target";
const int kErrorAccessDenied = os_error_code(SysErrorKind::kAccessDenied);
const int kErrorSharingViolation = os_error_code(SysErrorKind::kSharingViolation);
const int kErrorHard = 87;  // neither busy kind on either system
// NOLINTEND(cert-err58-cpp)

std::string path_of(const std::string& name) { return name.substr(0, name.size() - 1); }

int count(const std::vector<std::string>& log, const std::string& entry) {
  return static_cast<int>(std::count(log.begin(), log.end(), entry));
}

TEST(VolumeExtents, AnyConsideredExtentOnTheDiskCounts) {
  auto spanned = test::volume_extents({1, 3});
  EXPECT_TRUE(extents_on_disk(spanned, 3));
  EXPECT_TRUE(extents_on_disk(spanned, 1));
  EXPECT_FALSE(extents_on_disk(spanned, 2));
  EXPECT_FALSE(extents_on_disk(test::volume_extents({}), 0));
  EXPECT_FALSE(extents_on_disk({0, 0, 0}, 0));
  // An extent counts only when the returned bytes reach past its DiskNumber:
  // 24*i + 12 bytes for extent i.
  auto cut = spanned;
  cut.resize(24 + 12);
  EXPECT_TRUE(extents_on_disk(cut, 3));
  cut.resize(24 + 11);
  EXPECT_FALSE(extents_on_disk(cut, 3));
  // A count larger than the bytes carry is bounded by the bytes.
  auto lying = test::volume_extents({7});
  lying[0] = 200;
  EXPECT_TRUE(extents_on_disk(lying, 7));
  EXPECT_FALSE(extents_on_disk(lying, 0));
  // A count of zero ignores extents that are present.
  auto none = test::volume_extents({4});
  none[0] = 0;
  EXPECT_FALSE(extents_on_disk(none, 4));
}

TEST(LockVolume, BusyLockIsRetriedEvery150msForAboutFifteenSeconds) {
  FakeVolumes fake;
  fake.add(kA, {1}).lock_default = kErrorAccessDenied;
  auto volume = std::move(fake.open_volume(path_of(kA), VolumeAccess::kReadWrite)).value();
  FakeClock clock;
  auto locked = lock_volume(*volume, clock);
  ASSERT_FALSE(locked.has_value());
  EXPECT_EQ(locked.error().code, kErrorAccessDenied);
  // It gives up once more than 14 whole seconds have passed: at 15 s.
  EXPECT_EQ(count(fake.log, "lock " + kA), 101);
  EXPECT_EQ(clock.sleeps, std::vector<milliseconds>(100, milliseconds(150)));
}

TEST(LockVolume, SharingViolationThenSuccessAndOtherErrorsAtOnce) {
  FakeVolumes fake;
  fake.add(kA, {1}).lock_results = {kErrorSharingViolation, kErrorSharingViolation, 0};
  fake.add(kB, {1}).lock_default = 19;
  auto a = std::move(fake.open_volume(path_of(kA), VolumeAccess::kReadWrite)).value();
  auto b = std::move(fake.open_volume(path_of(kB), VolumeAccess::kReadWrite)).value();
  FakeClock clock;
  EXPECT_TRUE(lock_volume(*a, clock).has_value());
  EXPECT_EQ(clock.sleeps.size(), 2u);
  auto failed = lock_volume(*b, clock);
  ASSERT_FALSE(failed.has_value());
  EXPECT_EQ(failed.error().code, 19);
  EXPECT_EQ(count(fake.log, "lock " + kB), 1);
  EXPECT_EQ(clock.sleeps.size(), 2u);
}

TEST(LockAndDismount, HoldsEveryVolumeOfTheDiskInEnumerationOrder) {
  FakeVolumes fake;
  fake.add(kA, {2, 2});  // two extents, both on the target
  fake.add(kB, {1});     // another disk
  fake.add(kC, {2});
  fake.add(kD, {2}).open_query_error = 2;  // cannot be probed: treated as elsewhere
  fake.add(kE, {2}).extents_error = 1;     // no extents: treated as elsewhere
  ScopedVolumeSystem scoped(fake);
  FakeClock clock;
  auto set = lock_and_dismount_volumes(2, clock);
  ASSERT_TRUE(set.has_value()) << set.error().message;
  EXPECT_EQ(set->size(), 2u);
  EXPECT_TRUE(set->unlocked().empty());
  EXPECT_EQ(fake.open_handles, 2);
  EXPECT_EQ(fake.log, (std::vector<std::string>{
                          "list",
                          "open-r " + path_of(kA),
                          "close " + kA,
                          "open-rw " + path_of(kA),
                          "lock " + kA,
                          "dismount " + kA,
                          "open-r " + path_of(kB),
                          "close " + kB,
                          "open-r " + path_of(kC),
                          "close " + kC,
                          "open-rw " + path_of(kC),
                          "lock " + kC,
                          "dismount " + kC,
                          "open-r " + path_of(kD),
                          "open-r " + path_of(kE),
                          "close " + kE,
                      }));
  set->release();
  EXPECT_EQ(fake.open_handles, 0);
  EXPECT_TRUE(clock.sleeps.empty());
}

TEST(LockAndDismount, ThirdVolumeThatCannotOpenReleasesTheOthers) {
  FakeVolumes fake;
  fake.add(kA, {7});
  fake.add(kB, {7});
  fake.add(kC, {7}).open_write_error = 5;
  ScopedVolumeSystem scoped(fake);
  FakeClock clock;
  auto set = lock_and_dismount_volumes(7, clock);
  ASSERT_FALSE(set.has_value());
  EXPECT_EQ(set.error().message, "Unable to open mounted volume " + kC + ": " + os_error_text(5));
  EXPECT_EQ(set.error().code, 5);  // the failed open's own code
  EXPECT_EQ(fake.open_handles, 0);
  EXPECT_EQ(count(fake.log, "close " + kA), 2);  // probe and the locked handle
  EXPECT_EQ(count(fake.log, "close " + kB), 2);
}

TEST(LockAndDismount, BusyLockFallsBackToForcedDismountThenLocksAgain) {
  FakeVolumes fake;
  fake.add(kA, {0}).lock_default = kErrorAccessDenied;  // never locks
  auto& b = fake.add(kB, {0});                          // locks in the second round, after 3 s there
  b.lock_results.assign(101 + 20, kErrorSharingViolation);
  fake.add(kC, {0});
  ScopedVolumeSystem scoped(fake);
  FakeClock clock;
  auto set = lock_and_dismount_volumes(0, clock);
  ASSERT_TRUE(set.has_value()) << set.error().message;
  EXPECT_EQ(set->size(), 3u);
  EXPECT_EQ(set->unlocked(), std::vector<std::string>{kA});
  EXPECT_EQ(fake.open_handles, 3);
  // Fifteen seconds before the forced dismount, fifteen more trying to lock
  // it afterwards; the volume that locks then is not dismounted again.
  EXPECT_EQ(count(fake.log, "lock " + kA), 202);
  EXPECT_EQ(count(fake.log, "dismount " + kA), 1);
  EXPECT_EQ(count(fake.log, "lock " + kB), 122);
  EXPECT_EQ(count(fake.log, "dismount " + kB), 1);
  EXPECT_EQ(count(fake.log, "dismount " + kC), 1);
  EXPECT_EQ(clock.slept(), milliseconds(30000 + 15000 + 3000));
}

TEST(LockAndDismount, SpannedVolumeIsRefusedUntouched) {
  FakeVolumes fake;
  fake.add(kA, {5});
  fake.add(kB, {3, 5, 9});  // spanned: disk 3 is the first other disk
  fake.add(kC, {5});
  ScopedVolumeSystem scoped(fake);
  FakeClock clock;
  auto set = lock_and_dismount_volumes(5, clock);
  ASSERT_FALSE(set.has_value());
  EXPECT_EQ(set.error(), SysError::fixed("Unable to lock mounted volume " + kB +
                                         ": it also lies on disk 3, and writing this target would damage it."));
  EXPECT_EQ(fake.open_handles, 0);
  EXPECT_EQ(count(fake.log, "open-rw " + path_of(kB)), 0);
  EXPECT_EQ(count(fake.log, "close " + kA), 2);  // locked first, then released
  EXPECT_EQ(count(fake.log, "open-r " + path_of(kC)), 0);

  // The probe the writer uses to see that a volume has gone.
  EXPECT_TRUE(volume_lies_on_disk(kB, 9));
  EXPECT_TRUE(volume_lies_on_disk(path_of(kB), 5));
  EXPECT_FALSE(volume_lies_on_disk(kB, 4));
  fake.volumes[1].open_query_error = 2;
  EXPECT_FALSE(volume_lies_on_disk(kB, 5));
  EXPECT_EQ(fake.open_handles, 0);
}

TEST(LockAndDismount, BusyLockAndFailedForcedDismount) {
  FakeVolumes fake;
  fake.add(kA, {0});
  auto& b = fake.add(kB, {0});
  b.lock_default = kErrorSharingViolation;
  b.dismount_default = 21;
  ScopedVolumeSystem scoped(fake);
  FakeClock clock;
  auto set = lock_and_dismount_volumes(0, clock);
  ASSERT_FALSE(set.has_value());
  EXPECT_EQ(set.error().message, "Unable to lock or force-dismount mounted volume " + kB + ": lock failed with " +
                                     os_error_text(kErrorSharingViolation) + "; force dismount failed with " +
                                     os_error_text(21) + ". " + kAdvice + ", then try again.");
  EXPECT_EQ(fake.open_handles, 0);
  EXPECT_EQ(clock.slept(), milliseconds(15000));
}

TEST(LockAndDismount, OtherLockErrorAndFailedDismountMessages) {
  {
    FakeVolumes fake;
    fake.add(kA, {4}).lock_default = kErrorHard;
    ScopedVolumeSystem scoped(fake);
    FakeClock clock;
    auto set = lock_and_dismount_volumes(4, clock);
    ASSERT_FALSE(set.has_value());
    EXPECT_EQ(set.error().message, "Unable to lock mounted volume " + kA + ": " + os_error_text(kErrorHard) + ". " +
                                       kAdvice + ", then try again.");
    EXPECT_EQ(count(fake.log, "dismount " + kA), 0);
    EXPECT_EQ(fake.open_handles, 0);
    EXPECT_TRUE(clock.sleeps.empty());
  }
  {
    FakeVolumes fake;
    fake.add(kA, {4});
    fake.add(kB, {4}).dismount_default = 31;
    ScopedVolumeSystem scoped(fake);
    FakeClock clock;
    auto set = lock_and_dismount_volumes(4, clock);
    ASSERT_FALSE(set.has_value());
    EXPECT_EQ(set.error().message, "Unable to dismount mounted volume " + kB + ": " + os_error_text(31));
    EXPECT_EQ(fake.open_handles, 0);
  }
}

TEST(LockTargetVolumes, DriveNumberDecidesWhatIsLocked) {
  FakeVolumes fake;
  fake.add(kA, {2}).open_write_error = 32;
  ScopedVolumeSystem scoped(fake);
  test::FaultFileSystem files;  // answers device paths as Windows does
  ScopedFileSystem scoped_files(files);
  FakeClock clock;
  auto none = lock_target_volumes("E:", clock);
  ASSERT_TRUE(none.has_value());
  EXPECT_TRUE(none->locks.empty());
  EXPECT_TRUE(fake.log.empty());  // not even listed
  auto other = lock_target_volumes("\\\\.\\PhysicalDrive3", clock);
  ASSERT_TRUE(other.has_value());
  EXPECT_TRUE(other->locks.empty());
  auto failed = lock_target_volumes("\\\\.\\PHYSICALDRIVE2", clock);
  ASSERT_FALSE(failed.has_value());
  EXPECT_EQ(failed.error(),
            (HelperError{ErrorCode::kUnmountFailed, "Unable to open mounted volume " + kA + ": " + os_error_text(32)}));
  fake.add(kB, {4, 2});
  fake.volumes[0].open_write_error = 0;
  auto spanned = lock_target_volumes("\\\\.\\PhysicalDrive2", clock);
  ASSERT_FALSE(spanned.has_value());
  EXPECT_EQ(spanned.error(),
            (HelperError{ErrorCode::kUnmountFailed, "Unable to lock mounted volume " + kB +
                                                        ": it also lies on disk 4, and writing this target would "
                                                        "damage it."}));
}

TEST(DismountForDetach, ProblemsBecomeWarningsInVolumeOrder) {
  FakeVolumes fake;
  fake.add(kA, {3});                       // dismounts at once
  fake.add(kB, {3}).open_write_error = 5;  // cannot be opened
  auto& c = fake.add(kC, {3});             // busy, then dismounts
  c.dismount_results = {50, 0};
  c.lock_default = kErrorAccessDenied;
  auto& d = fake.add(kD, {3});  // locks, but never dismounts
  d.dismount_default = 50;
  auto& e = fake.add(kE, {1, 3});  // lock fails with another error
  e.dismount_default = 50;
  e.lock_default = kErrorHard;
  fake.add(kF, {4});  // elsewhere
  ScopedVolumeSystem scoped(fake);
  FakeClock clock;
  auto warnings = dismount_volumes_for_detach(3, clock);
  const std::string tail = ". " + kAdvice + ", then remove it.";
  EXPECT_EQ(warnings, (std::vector<std::string>{
                          "Could not open mounted volume " + kB + " for dismount.",
                          "Could not dismount mounted volume " + kD + tail,
                          "Could not dismount mounted volume " + kE + tail,
                      }));
  EXPECT_EQ(fake.open_handles, 0);
  EXPECT_EQ(count(fake.log, "lock " + kA), 0);
  EXPECT_EQ(count(fake.log, "dismount " + kC), 2);
  EXPECT_EQ(count(fake.log, "dismount " + kD), 2);
  EXPECT_EQ(count(fake.log, "dismount " + kE), 1);  // no second try after a hard lock error
  EXPECT_EQ(count(fake.log, "open-rw " + path_of(kF)), 0);
  EXPECT_EQ(clock.slept(), milliseconds(15000));  // only the busy volume waited
}

// The real enumeration: nothing lies on a disk number no system has.
TEST(NativeVolumes, NoVolumeOnAnUnusedDiskNumber) {
  auto names = native_volume_system().list_volume_names();
  RecordProperty("volumes", static_cast<int>(names.size()));
  for (const auto& name : names) EXPECT_FALSE(name.empty());
  auto set = lock_and_dismount_volumes(4000000000u);
  ASSERT_TRUE(set.has_value()) << set.error().message;
  EXPECT_TRUE(set->empty());
  EXPECT_TRUE(dismount_volumes_for_detach(4000000000u).empty());
}

}  // namespace
}  // namespace dh
