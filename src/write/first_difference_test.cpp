// find_first_difference: where image and target part, and what each side
// holds there.
#include <gtest/gtest.h>

#include "platform/elevation.h"
#include "base/text.h"
#include "platform/buffered_io.h"
#include "rawdisk/raw_access.h"
#include "support/fault_file_system.h"
#include "support/test_support.h"
#include "support/write_test_util.h"
#include "write/first_difference.h"

namespace dh {
namespace {

std::string hex(const std::string& bytes) {
  return hex_encode(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

struct Pair {
  test::TempDir dir;
  std::string image = dir.file("image.img");
  std::string target = dir.file("target.img");
  Pair(const std::string& image_bytes, const std::string& target_bytes) {
    test::write_file(image, image_bytes);
    test::write_file(target, target_bytes);
  }
  std::optional<FirstDifference> find(uint64_t count) {
    auto found = find_first_difference(image, CheckedTarget::as_found(target), count);
    EXPECT_TRUE(found.has_value()) << found.error().message;
    return found.has_value() ? *found : std::nullopt;
  }
};

TEST(FirstDifference, IdenticalRangesHaveNone) {
  const std::string bytes = test::pattern_bytes(2 * kIoBufferSize + 5);
  std::string target = bytes;
  target.back() = static_cast<char>(target.back() ^ 1);  // beyond the compared range
  Pair p(bytes, target);
  EXPECT_EQ(p.find(bytes.size() - 1), std::nullopt);
  EXPECT_EQ(p.find(0), std::nullopt);
}

TEST(FirstDifference, SamplesStopAtTheEndOfTheChunk) {
  const std::string image = test::pattern_bytes(2 * kIoBufferSize);
  std::string target = image;
  const size_t at = kIoBufferSize - 10;
  target[at] = static_cast<char>(target[at] ^ 0x40);
  Pair p(image, target);
  auto d = p.find(image.size());
  ASSERT_TRUE(d.has_value());
  EXPECT_EQ(d->offset, at);
  EXPECT_EQ(d->expected_sample_hex, hex(image.substr(at, 10)));
  EXPECT_EQ(d->observed_sample_hex, hex(target.substr(at, 10)));
  EXPECT_EQ(d->to_json(), (nlohmann::json{{"offset", at},
                                          {"expectedSampleHex", hex(image.substr(at, 10))},
                                          {"observedSampleHex", hex(target.substr(at, 10))}}));
}

TEST(FirstDifference, SamplesHoldThirtyTwoBytesInsideAChunk) {
  const std::string image = test::pattern_bytes(kIoBufferSize + 100);
  std::string target = image;
  target[kIoBufferSize + 3] = static_cast<char>(target[kIoBufferSize + 3] ^ 0x01);
  target[kIoBufferSize + 9] = static_cast<char>(target[kIoBufferSize + 9] ^ 0x01);
  Pair p(image, target);
  auto d = p.find(image.size());
  ASSERT_TRUE(d.has_value());
  EXPECT_EQ(d->offset, kIoBufferSize + 3);
  EXPECT_EQ(d->expected_sample_hex, hex(image.substr(kIoBufferSize + 3, 32)));
  EXPECT_EQ(d->observed_sample_hex, hex(target.substr(kIoBufferSize + 3, 32)));
}

TEST(FirstDifference, ATargetThatEndsFirstGivesAnEmptyObservedSample) {
  const std::string image = test::pattern_bytes(kIoBufferSize + 40);
  Pair p(image, image.substr(0, kIoBufferSize + 20));
  auto d = p.find(image.size());
  ASSERT_TRUE(d.has_value());
  EXPECT_EQ(d->offset, kIoBufferSize + 20);
  EXPECT_EQ(d->expected_sample_hex, hex(image.substr(kIoBufferSize + 20, 20)));
  EXPECT_EQ(d->observed_sample_hex, "");
}

TEST(FirstDifference, AnImageThatEndsFirstGivesTwoEmptySamples) {
  const std::string image = test::pattern_bytes(1000);
  Pair p(image, image + "more bytes on the card");
  auto d = p.find(5000);
  ASSERT_TRUE(d.has_value());
  EXPECT_EQ(d->offset, 1000u);
  EXPECT_EQ(d->expected_sample_hex, "");
  EXPECT_EQ(d->observed_sample_hex, "");
}

TEST(FirstDifference, FailuresCarryTheSideThatFailed) {
  // A refused open is the advice to run elevated only when the helper is not.
  ScopedElevation not_elevated(false);
  Pair p(test::pattern_bytes(3000), test::pattern_bytes(3000));
  auto missing_image = find_first_difference(p.dir.file("none.img"), CheckedTarget::as_found(p.target), 10);
  ASSERT_FALSE(missing_image.has_value());
  EXPECT_EQ(missing_image.error(), (HelperError{ErrorCode::kImageMissing, os_error_text(2)}));
  auto missing_target = find_first_difference(p.image, CheckedTarget::as_found(p.dir.file("none.img")), 10);
  ASSERT_FALSE(missing_target.has_value());
  EXPECT_EQ(missing_target.error(), (HelperError{ErrorCode::kDeviceDisconnected, os_error_text(2)}));

  const int eio = test::io_error_code();
  test::FaultFileSystem fs;
  ScopedFileSystem scoped(fs);
  fs.fail_open(p.target, OpenMode::kExclusiveRead, test::on_windows() ? 5 : 13);
  auto denied = find_first_difference(p.image, CheckedTarget::as_found(p.target), 10);
  ASSERT_FALSE(denied.has_value());
  EXPECT_EQ(denied.error(), (HelperError{ErrorCode::kElevationDenied, kElevationDeniedMessage}));
  EXPECT_EQ(fs.open_handles(), 0);

  test::FaultFileSystem fs2;
  ScopedFileSystem scoped2(fs2);
  fs2.fail_read(p.target, 0, eio);
  auto unreadable = find_first_difference(p.image, CheckedTarget::as_found(p.target), 10);
  ASSERT_FALSE(unreadable.has_value());
  EXPECT_EQ(unreadable.error(), (HelperError{ErrorCode::kDeviceDisconnected, os_error_text(eio)}));
  fs2.fail_seek(p.image, eio);
  auto unseekable = find_first_difference(p.image, CheckedTarget::as_found(p.target), 10);
  ASSERT_FALSE(unseekable.has_value());
  EXPECT_EQ(unseekable.error(), (HelperError{ErrorCode::kImageMissing, os_error_text(eio)}));
  EXPECT_EQ(fs2.open_handles(), 0);
}

}  // namespace
}  // namespace dh
