// Opening targets, reading sectors and mapping open failures.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>

#include "base/text.h"
#include "rawdisk/raw_access.h"
#include "support/bytes.h"
#include "support/loop_device.h"
#include "support/memory_file.h"
#include "support/test_support.h"

namespace dh {
namespace {

using test::ByteVector;
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
  for (auto open : {open_target_shared_read, open_target_exclusive_read, open_target_exclusive_write}) {
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
  std::vector<int> denied = test::on_windows() ? std::vector<int>{5, 10013} : std::vector<int>{EACCES, EPERM};
  for (int code : denied) {
    EXPECT_EQ(map_raw_disk_error(SysError::from_os(code)), (HelperError{ErrorCode::kElevationDenied, kElevation}))
        << code;
    // Already opened targets never get the elevation advice.
    EXPECT_EQ(device_disconnected_error(SysError::from_os(code)),
              (HelperError{ErrorCode::kDeviceDisconnected, os_error_text(code)}));
  }
  int sharing = test::on_windows() ? 32 : EBUSY;
  EXPECT_EQ(map_raw_disk_error(SysError::from_os(sharing)),
            (HelperError{ErrorCode::kDeviceDisconnected, os_error_text(sharing)}));
  EXPECT_EQ(map_raw_disk_error(SysError::from_os(2)), (HelperError{ErrorCode::kDeviceDisconnected, os_error_text(2)}));
  EXPECT_EQ(map_raw_disk_error(SysError::fixed("failed to fill whole buffer")),
            (HelperError{ErrorCode::kDeviceDisconnected, "failed to fill whole buffer"}));
  EXPECT_EQ(image_missing_error(SysError::from_os(2)), (HelperError{ErrorCode::kImageMissing, os_error_text(2)}));
}

TEST(RawDiskErrors, RealOpenFailures) {
  test::TempDir dir;
  auto missing = open_target_exclusive_write(CheckedTarget::as_found(dir.file("absent.img")));
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(map_raw_disk_error(missing.error()), (HelperError{ErrorCode::kDeviceDisconnected, os_error_text(2)}));

  if (test::on_windows()) {
    // Another handle on the target: the exclusive open is a sharing
    // violation, not an access refusal.
    test::write_file(dir.file("held.img"), std::string(512, 'h'));
    auto holder = open_target_shared_read(CheckedTarget::as_found(dir.file("held.img")));
    ASSERT_TRUE(holder.has_value());
    auto second = open_target_exclusive_read(CheckedTarget::as_found(dir.file("held.img")));
    ASSERT_FALSE(second.has_value());
    EXPECT_EQ(map_raw_disk_error(second.error()), (HelperError{ErrorCode::kDeviceDisconnected, os_error_text(32)}));
  }
}

TEST(RawDiskErrors, ExclusiveOpenOfABusyLoopDevice) {
  test::LoopDevice loop(4 << 20);
  if (loop.path().empty()) GTEST_SKIP() << loop.why_not();
  auto first = open_target_exclusive_read(CheckedTarget::as_found(loop.path()));
  ASSERT_TRUE(first.has_value()) << first.error().message;
  auto second = open_target_exclusive_write(CheckedTarget::as_found(loop.path()));
  ASSERT_FALSE(second.has_value());
  EXPECT_EQ(map_raw_disk_error(second.error()), (HelperError{ErrorCode::kDeviceDisconnected, os_error_text(EBUSY)}));
  // A shared open is not refused while the exclusive handle is held.
  EXPECT_TRUE(open_target_shared_read(CheckedTarget::as_found(loop.path())).has_value());
}

}  // namespace
}  // namespace dh
