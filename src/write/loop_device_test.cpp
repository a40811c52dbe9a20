// write_image, the readback and classify_mismatch against a real block
// device: a Linux loop device over a sparse file.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "base/text.h"
#include "image/hash_range.h"
#include "progress/progress.h"
#include "support/fake_clock.h"
#include "support/helper_child.h"
#include "support/loop_device.h"
#include "support/test_support.h"
#include "support/write_test_util.h"
#include "write/classify_mismatch.h"
#include "write/first_difference.h"
#include "write/write_image.h"

namespace dh {
namespace {

using nlohmann::json;

using test::LoopDevice;

// Changes one byte of the device in place, as a mount would.
void flip_on_device(const std::string& device, uint64_t offset) {
  std::FILE* f = std::fopen(device.c_str(), "r+b");
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(std::fseek(f, static_cast<long>(offset), SEEK_SET), 0);
  int byte = std::fgetc(f);
  ASSERT_NE(byte, EOF);
  ASSERT_EQ(std::fseek(f, static_cast<long>(offset), SEEK_SET), 0);
  ASSERT_NE(std::fputc(byte ^ 0x5A, f), EOF);
  ASSERT_EQ(std::fclose(f), 0);
}

TEST(LoopDevice, PiImageWritesReadsBackAndClassifies) {
  LoopDevice loop(64 * 1024 * 1024);
  if (loop.path().empty()) GTEST_SKIP() << loop.why_not();
  const std::string image = test::fixture("pi.img");
  const std::string sha = test::read_file(test::fixture("pi.img.sha256")).substr(0, 64);
  const uint64_t size = test::read_file(image).size();

  test::FakeClock clock;
  ScopedProgressCapture capture;
  auto written =
      write_image(test::write_request({{"imagePath", image}, {"osDevicePath", loop.path()}, {"taskId", "t"}}), clock);
  ASSERT_TRUE(written.has_value()) << written.error().message;
  EXPECT_EQ((*written)["sourceSha256"], sha);
  EXPECT_EQ((*written)["observedSha256"], sha);
  EXPECT_EQ((*written)["verifiedBytes"], size);
  EXPECT_EQ((*written)["verifyAttempts"], 1);
  EXPECT_EQ(capture.lines().size(), 5u);

  // What verify_hash does: the device's first bytes hash to the image's digest.
  Progress silent = Progress::silent(system_clock());
  auto hashed = hash_range(silent, CheckedTarget::as_found(loop.path()), size, "");
  ASSERT_TRUE(hashed.has_value()) << hashed.error().message;
  EXPECT_EQ(hashed->sha256, sha);
  EXPECT_EQ(hashed->bytes, size);

  auto clean = classify_mismatch(image, CheckedTarget::as_found(loop.path()), size);
  ASSERT_TRUE(clean.has_value()) << clean.error().message;
  EXPECT_EQ((*clean)["metadataDiffBytes"], 0);
  EXPECT_EQ((*clean)["safe"], true);

  auto ranges = locate_fat_metadata(image, size);
  ASSERT_TRUE(ranges.has_value());
  ASSERT_FALSE(ranges->empty());
  flip_on_device(loop.path(), ranges->front().start + 488);
  auto mounted = classify_mismatch(image, CheckedTarget::as_found(loop.path()), size);
  ASSERT_TRUE(mounted.has_value());
  EXPECT_EQ((*mounted)["safe"], true);
  EXPECT_EQ((*mounted)["metadataDiffBytes"], 1);

  flip_on_device(loop.path(), size - 5);
  auto damaged = classify_mismatch(image, CheckedTarget::as_found(loop.path()), size);
  ASSERT_TRUE(damaged.has_value());
  EXPECT_EQ((*damaged)["safe"], false);
  EXPECT_EQ((*damaged)["firstUnsafeOffset"], size - 5);
}

TEST(LoopDevice, ReadsAfterTheWriteReachTheMediumNotTheCache) {
  // A card that drops writes (a fake-capacity card) keeps its old bytes while
  // the system's cache still holds what was written. Here the backing file
  // changes behind the device's back after the write. Linux drops a block
  // device's cache when its last handle closes, so another program's handle
  // (udev, a desktop's disk monitor) stays open all along, as it often does.
  LoopDevice loop(16 * 1024 * 1024);
  if (loop.path().empty()) GTEST_SKIP() << loop.why_not();
  auto other_program = native_file_system().open(loop.path(), OpenMode::kSharedRead);
  ASSERT_TRUE(other_program.has_value()) << other_program.error().message;
  test::TempDir dir;
  const std::string image = test::pattern_bytes(8 * 1024 * 1024 + 1001);
  test::write_file(dir.file("image.img"), image);
  test::FakeClock clock;
  ScopedProgressCapture capture;
  auto written =
      write_image(test::write_request(
                      {{"imagePath", dir.file("image.img")}, {"osDevicePath", loop.path()}, {"skipReadback", true}}),
                  clock);
  ASSERT_TRUE(written.has_value()) << written.error().message;

  const uint64_t lost = 5 * 1024 * 1024;
  {
    auto medium = native_file_system().open(loop.backing(), OpenMode::kExclusiveWrite);
    ASSERT_TRUE(medium.has_value()) << medium.error().message;
    const std::vector<uint8_t> zeros(4096, 0);
    ASSERT_TRUE((*medium)->seek(lost).has_value());
    ASSERT_TRUE(write_all(**medium, zeros.data(), zeros.size()).has_value());
    ASSERT_TRUE((*medium)->flush().has_value());
  }
  std::string on_medium = image;
  std::fill(on_medium.begin() + lost, on_medium.begin() + lost + 4096, '\0');

  Progress silent = Progress::silent(system_clock());
  auto hashed = hash_range(silent, CheckedTarget::as_found(loop.path()), image.size(), "");
  ASSERT_TRUE(hashed.has_value()) << hashed.error().message;
  EXPECT_EQ(hashed->sha256, test::sha256_hex(on_medium));
  auto difference = find_first_difference(dir.file("image.img"), CheckedTarget::as_found(loop.path()), image.size());
  ASSERT_TRUE(difference.has_value()) << difference.error().message;
  ASSERT_TRUE(difference->has_value());
  EXPECT_EQ((*difference)->offset, lost + image.substr(lost).find_first_not_of('\0'));
}

TEST(LoopDevice, AnImageLargerThanTheDeviceIsRefusedBeforeTheFirstByte) {
  LoopDevice loop(6 * 1024 * 1024);
  if (loop.path().empty()) GTEST_SKIP() << loop.why_not();
  test::TempDir dir;
  test::write_file(dir.file("big.img"), test::pattern_bytes(9 * 1024 * 1024));
  test::FakeClock clock;
  ScopedProgressCapture capture;
  auto run =
      write_image(test::write_request({{"imagePath", dir.file("big.img")}, {"osDevicePath", loop.path()}}), clock);
  ASSERT_FALSE(run.has_value());
  EXPECT_EQ(run.error(), (HelperError{ErrorCode::kUnknown,
                                      "The image does not fit on the target: 9437184 bytes to "
                                      "write, 6291456 bytes on " +
                                          loop.path()}));
  EXPECT_TRUE(capture.lines().empty());
  EXPECT_EQ(test::read_file(loop.path()), std::string(6 * 1024 * 1024, '\0'));

  // The readback of a device shorter than bytesTotal hashes what is there
  // and reports the first missing byte.
  test::write_file(dir.file("small.img"), test::pattern_bytes(3 * 1024 * 1024));
  auto shorter = write_image(
      test::write_request(
          {{"imagePath", dir.file("small.img")}, {"osDevicePath", loop.path()}, {"bytesTotal", 8 * 1024 * 1024}}),
      clock);
  ASSERT_TRUE(shorter.has_value()) << shorter.error().message;
  EXPECT_EQ((*shorter)["verifiedBytes"], 6 * 1024 * 1024);
  EXPECT_EQ((*shorter)["verifyAttempts"], 2);
  EXPECT_EQ((*shorter)["mismatch"]["offset"], 3 * 1024 * 1024);
}

// A card that held a GPT (its primary copy at the start, its backup in the
// last sectors) gets an MBR image smaller than itself: afterwards it holds
// exactly the image, and no GPT header is left anywhere.
TEST(LoopDevice, AnOldGptIsGoneAfterAnMbrImage) {
  const uint64_t size = 64 * 1024 * 1024;
  test::TempDir dir;
  std::filesystem::copy_file(test::fixture("gpt-old.img"), dir.file("card.img"));
  LoopDevice loop(dir.file("card.img"));
  if (loop.path().empty()) GTEST_SKIP() << loop.why_not();
  auto gpt_header = [&](uint64_t offset) { return test::read_file(loop.path()).substr(offset, 8) == "EFI PART"; };
  ASSERT_TRUE(gpt_header(512));
  ASSERT_TRUE(gpt_header(size - 512));

  const std::string image = test::read_file(test::fixture("pi.img"));
  test::FakeClock clock;
  ScopedProgressCapture capture;
  auto written =
      write_image(test::write_request({{"imagePath", test::fixture("pi.img")}, {"osDevicePath", loop.path()}}), clock);
  ASSERT_TRUE(written.has_value()) << written.error().message;
  EXPECT_EQ((*written)["verifyAttempts"], 1);
  const std::string after = test::read_file(loop.path());
  EXPECT_TRUE(after.substr(0, image.size()) == image);
  EXPECT_FALSE(gpt_header(512));
  EXPECT_FALSE(gpt_header(size - 512));
  EXPECT_EQ(after.find("EFI PART"), image.find("EFI PART"));
}

// A helper killed while it writes leaves a card without a partition table,
// which the system shows as empty, never a half-written one it would mount.
TEST(LoopDevice, AHelperKilledWhileWritingLeavesNoPartitionTable) {
  const uint64_t size = 1100 * 1024 * 1024;
  LoopDevice loop(size);
  if (loop.path().empty()) GTEST_SKIP() << loop.why_not();
  // The Pi image's start (its MBR) in a sparse image of 1 GiB: the write and
  // its readback take far longer than the time the test needs to end it.
  test::TempDir dir;
  const std::string image = dir.file("big.img");
  test::write_file(image, test::read_file(test::fixture("pi.img")).substr(0, 4 * 1024 * 1024));
  std::filesystem::resize_file(image, 1024 * 1024 * 1024);
  nlohmann::json request = {{"id", "w"},
                            {"sessionId", "s"},
                            {"command", "write_image"},
                            {"payload", {{"imagePath", image}, {"osDevicePath", loop.path()}}}};
  {
    test::HelperChild helper({"--request", request.dump()}, test::ChildOutput::kPipe);
    ASSERT_TRUE(helper.started()) << helper.error();
    auto first = nlohmann::json::parse(helper.read_line(), nullptr, false);
    ASSERT_TRUE(first.is_object());
    ASSERT_EQ(first["stage"], "WRITE") << first.dump();
  }  // ends the helper
  char mbr[512] = {};
  std::ifstream device(loop.path(), std::ios::binary);
  ASSERT_TRUE(device.read(mbr, sizeof mbr));
  EXPECT_FALSE(mbr[510] == '\x55' && mbr[511] == '\xAA');
}

}  // namespace
}  // namespace dh
