// Opening targets, reading sectors and mapping open failures.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>

#include "base/text.h"
#include "platform/elevation.h"
#include "rawdisk/raw_access.h"
#include "support/bytes.h"
#include "support/fake_clock.h"
#include "support/fault_file_system.h"
#include "support/loop_device.h"
#include "support/memory_file.h"
#include "support/test_support.h"

namespace dh {
namespace {

using std::chrono::milliseconds;
using test::ByteVector;
using test::FakeClock;
using test::MemoryFile;

// Test constants: a start-up allocation failure would only abort the test run.
// NOLINTBEGIN(cert-err58-cpp)
const std::string kElevation =
    "Windows denied exclusive raw disk access. Run Corvalet Flasher as administrator, close File Explorer windows "
    "for this target, unplug and reconnect it, then try again.";
// NOLINTEND(cert-err58-cpp)

std::string as_text(const ByteVector& b) { return std::string(b.begin(), b.end()); }

TEST(ReadSectorsAt, ReadsWholeSectorsFromAPlainFileInEveryOpenMode) {
  test::TempDir dir;
  ByteVector data = test::pattern(4 * 512);
  test::write_file(dir.file("image.img"), as_text(data));
  using Open = SysResult<FilePtr> (*)(const CheckedTarget&);
  const Open opens[] = {
      open_target_shared_read,
      [](const CheckedTarget& t) { return open_target_exclusive_read(t); },
      [](const CheckedTarget& t) { return open_target_exclusive_write(t); },
  };
  for (Open open : opens) {
    auto target = open(CheckedTarget::as_found(dir.file("image.img")));
    ASSERT_TRUE(target.has_value()) << target.error().message;
    auto got = read_sectors_at(**target, 1, 2);
    ASSERT_TRUE(got.has_value()) << got.error().message;
    EXPECT_EQ(*got, ByteVector(data.begin() + 512, data.begin() + 3 * 512));
    auto empty = read_sectors_at(**target, 3, 0);
    ASSERT_TRUE(empty.has_value());
    EXPECT_TRUE(empty->empty());
  }
}

TEST(ReadSectorsAt, OffsetOverflowFailsWithoutTouchingTheTarget) {
  MemoryFile file(test::pattern(1024));
  auto r = read_sectors_at(file, 0x80000000000000ull, 1);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().message, "Sector offset overflow");
  EXPECT_EQ(file.calls, 0);
  // The highest LBA passes the check and reaches the target.
  (void)read_sectors_at(file, 0x7FFFFFFFFFFFFFull, 1);
  EXPECT_GT(file.calls, 0);
}

TEST(ReadSectorsAt, HighestLbaIsRefusedByTheSystemSeekOnARealFile) {
  // LBA 2^55-1 is byte offset 2^64-512, beyond a signed 64-bit offset: the
  // seek fails with an OS error instead of wrapping around.
  test::TempDir dir;
  test::write_file(dir.file("small.img"), std::string(512, 'x'));
  auto target = open_target_shared_read(CheckedTarget::as_found(dir.file("small.img")));
  ASSERT_TRUE(target.has_value());
  auto r = read_sectors_at(**target, 0x7FFFFFFFFFFFFFull, 1);
  ASSERT_FALSE(r.has_value());
  EXPECT_NE(r.error().message.find(" (os error "), std::string::npos) << r.error().message;
}

TEST(ReadSectorsAt, ShortPartialAndFailingReads) {
  MemoryFile short_file(test::pattern(1000));
  auto short_read = read_sectors_at(short_file, 1, 1);
  ASSERT_FALSE(short_read.has_value());
  EXPECT_EQ(short_read.error().message, "failed to fill whole buffer");

  ByteVector data = test::pattern(8 * 512);
  MemoryFile trickle(data, 7);  // the system hands back 7 bytes at a time
  auto resumed = read_sectors_at(trickle, 2, 3);
  ASSERT_TRUE(resumed.has_value());
  EXPECT_EQ(*resumed, ByteVector(data.begin() + 1024, data.begin() + 2560));

  MemoryFile gone(data);
  gone.read_error = 1167;
  auto failed = read_sectors_at(gone, 0, 1);
  ASSERT_FALSE(failed.has_value());
  EXPECT_EQ(failed.error().message, os_error_text(1167));
  EXPECT_EQ(failed.error().code, 1167);  // the read's own code reaches the caller

  MemoryFile unseekable(data);
  unseekable.seek_error = 87;
  auto seek_failed = read_sectors_at(unseekable, 5, 1);
  ASSERT_FALSE(seek_failed.has_value());
  EXPECT_EQ(seek_failed.error().message, os_error_text(87));
}

TEST(RawDiskErrors, AccessDeniedIsElevationEverythingElseDisconnected) {
  ScopedElevation not_elevated(false);
  std::vector<int> denied = test::on_windows() ? std::vector<int>{5, 10013} : std::vector<int>{EACCES, EPERM};
  for (int code : denied) {
    EXPECT_EQ(map_raw_disk_error(SysError::from_os(code), "t"), (HelperError{ErrorCode::kElevationDenied, kElevation}))
        << code;
    // Already opened targets never get the elevation advice.
    EXPECT_EQ(device_disconnected_error(SysError::from_os(code)),
              (HelperError{ErrorCode::kDeviceDisconnected, os_error_text(code)}));
  }
  EXPECT_EQ(map_raw_disk_error(SysError::fixed("failed to fill whole buffer"), "t"),
            (HelperError{ErrorCode::kDeviceDisconnected, "failed to fill whole buffer"}));
  EXPECT_EQ(image_missing_error(SysError::from_os(2)), (HelperError{ErrorCode::kImageMissing, os_error_text(2)}));
}

TEST(RawDiskErrors, ElevationAdviceOnlyWhenTheHelperIsNotElevated) {
  const std::string path = "\\\\.\\PhysicalDrive3";
  const int denied = os_error_code(SysErrorKind::kAccessDenied);
  const int busy = os_error_code(SysErrorKind::kSharingViolation);
  const int missing = os_error_code(SysErrorKind::kNotFound);
  const HelperError refused_as_admin{
      ErrorCode::kDeviceDisconnected,
      "Windows refused access to \\\\.\\PhysicalDrive3 although the helper runs as administrator: a security "
      "program (such as Controlled Folder Access or an antivirus) or a policy that blocks writing to removable "
      "drives may be stopping it. " +
          os_error_text(denied)};
  struct Case {
    bool elevated;
    int code;
    HelperError expected;
  };
  const Case cases[] = {
      {false, denied, {ErrorCode::kElevationDenied, kElevation}},
      {true, denied, refused_as_admin},
      {false, busy, {ErrorCode::kDeviceDisconnected, os_error_text(busy)}},
      {true, busy, {ErrorCode::kDeviceDisconnected, os_error_text(busy)}},
      {false, missing, {ErrorCode::kDeviceDisconnected, os_error_text(missing)}},
      {true, missing, {ErrorCode::kDeviceDisconnected, os_error_text(missing)}},
  };
  for (const Case& c : cases) {
    ScopedElevation elevation(c.elevated);
    EXPECT_EQ(process_is_elevated(), c.elevated);
    EXPECT_EQ(map_raw_disk_error(SysError::from_os(c.code), path), c.expected)
        << "elevated " << c.elevated << ", code " << c.code;
  }
}

TEST(ExclusiveOpens, OnlyASharingViolationIsWaitedOutForAboutFifteenSeconds) {
  test::TempDir dir;
  const std::string target = dir.file("target.img");
  test::write_file(target, std::string(512, 't'));
  const int busy = os_error_code(SysErrorKind::kSharingViolation);
  const int denied = os_error_code(SysErrorKind::kAccessDenied);
  struct Case {
    OpenMode mode;
    int code;
    std::optional<int> times;  // refusals before the drive is free; none: never free
    size_t attempts;
    bool opens;
  };
  const Case cases[] = {
      {OpenMode::kExclusiveRead, busy, 4, 5, true},
      {OpenMode::kExclusiveWrite, busy, 59, 60, true},
      // Given up once more than 14 whole seconds have passed: at 15 s.
      {OpenMode::kExclusiveRead, busy, std::nullopt, 61, false},
      {OpenMode::kExclusiveWrite, busy, std::nullopt, 61, false},
      {OpenMode::kExclusiveWrite, denied, std::nullopt, 1, false},
      {OpenMode::kExclusiveRead, os_error_code(SysErrorKind::kNotFound), std::nullopt, 1, false},
      // The shared open does not wait.
      {OpenMode::kSharedRead, busy, std::nullopt, 1, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "mode " << static_cast<int>(c.mode) << ", code " << c.code);
    test::FaultFileSystem files;
    ScopedFileSystem scoped(files);
    files.fail_open(target, c.mode, c.code, c.times);
    FakeClock clock;
    CheckedTarget checked = CheckedTarget::as_found(target);
    auto opened = c.mode == OpenMode::kExclusiveRead    ? open_target_exclusive_read(checked, clock)
                  : c.mode == OpenMode::kExclusiveWrite ? open_target_exclusive_write(checked, clock)
                                                        : open_target_shared_read(checked);
    EXPECT_EQ(opened.has_value(), c.opens);
    if (!opened) {
      EXPECT_EQ(opened.error().code, c.code);
    }
    EXPECT_EQ(files.opened().size(), c.attempts);
    EXPECT_EQ(clock.sleeps, std::vector<milliseconds>(c.attempts - 1, milliseconds(250)));
  }
}

TEST(RawDiskErrors, RealOpenFailures) {
  test::TempDir dir;
  FakeClock clock;
  auto missing = open_target_exclusive_write(CheckedTarget::as_found(dir.file("absent.img")), clock);
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(map_raw_disk_error(missing.error(), dir.file("absent.img")),
            (HelperError{ErrorCode::kDeviceDisconnected, os_error_text(2)}));
  EXPECT_TRUE(clock.sleeps.empty());

  if (test::on_windows()) {
    // Another handle on the target: the exclusive open is a sharing
    // violation, not an access refusal.
    test::write_file(dir.file("held.img"), std::string(512, 'h'));
    auto holder = open_target_shared_read(CheckedTarget::as_found(dir.file("held.img")));
    ASSERT_TRUE(holder.has_value());
    auto second = open_target_exclusive_read(CheckedTarget::as_found(dir.file("held.img")), clock);
    ASSERT_FALSE(second.has_value());
    EXPECT_EQ(map_raw_disk_error(second.error(), dir.file("held.img")),
              (HelperError{ErrorCode::kDeviceDisconnected, os_error_text(32)}));
    EXPECT_EQ(clock.slept(), milliseconds(15000));  // waited for the holder to let go
  }
}

TEST(RawDiskErrors, ExclusiveOpenOfABusyLoopDevice) {
  test::LoopDevice loop(4 << 20);
  if (loop.path().empty()) GTEST_SKIP() << loop.why_not();
  FakeClock clock;
  auto first = open_target_exclusive_read(CheckedTarget::as_found(loop.path()), clock);
  ASSERT_TRUE(first.has_value()) << first.error().message;
  auto second = open_target_exclusive_write(CheckedTarget::as_found(loop.path()), clock);
  ASSERT_FALSE(second.has_value());
  EXPECT_EQ(map_raw_disk_error(second.error(), loop.path()),
            (HelperError{ErrorCode::kDeviceDisconnected, os_error_text(EBUSY)}));
  EXPECT_EQ(clock.slept(), milliseconds(15000));
  // A shared open is not refused while the exclusive handle is held.
  EXPECT_TRUE(open_target_shared_read(CheckedTarget::as_found(loop.path())).has_value());
}

}  // namespace
}  // namespace dh
