// SHA-256 and the range hasher: byte counts, reads, progress lines, failures.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "platform/elevation.h"
#include "image/hash_range.h"
#include "decode/sha256.h"
#include "platform/buffered_io.h"
#include "progress/progress.h"
#include "support/bytes.h"
#include "support/fake_clock.h"
#include "support/fault_file_system.h"
#include "support/test_support.h"

namespace dh {
namespace {

using nlohmann::json;
constexpr const char* kEmptySha = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

std::string sha_of(const std::string& data) {
  Sha256 sha;
  sha.update(reinterpret_cast<const uint8_t*>(data.data()), data.size());
  return sha.finish_hex();
}

TEST(Sha256, KnownVectorsAndIncrementalUpdates) {
  EXPECT_EQ(sha_of(""), kEmptySha);
  EXPECT_EQ(sha_of("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  Sha256 pieces;
  std::string a(1000, 'a');
  for (int i = 0; i < 1000; ++i) pieces.update(reinterpret_cast<const uint8_t*>(a.data()), a.size());
  EXPECT_EQ(pieces.finish_hex(), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(HashRange, CountZeroReadsNothingAndStillPrintsStartAndEnd) {
  test::TempDir dir;
  std::string path = dir.file("t.img");
  test::write_file(path, "some bytes");
  test::FaultFileSystem fs;
  ScopedFileSystem scoped(fs);
  ScopedProgressCapture capture;
  test::FakeClock clock(std::chrono::milliseconds(700));
  Progress progress("sess", "task", clock);

  auto hashed = hash_range(progress, CheckedTarget::as_found(path), 0, "Verifying");
  ASSERT_TRUE(hashed.has_value()) << hashed.error().message;
  EXPECT_EQ(hashed->sha256, kEmptySha);
  EXPECT_EQ(hashed->bytes, 0u);
  EXPECT_EQ(hashed->speed, 0u);
  EXPECT_TRUE(fs.read_lengths().empty());
  const std::string line =
      R"({"bytesProcessed":0,"bytesTotal":0,"event":"progress","message":"Verifying","sessionId":"sess",)"
      R"("speedBps":0,"stage":"VERIFY","taskId":"task"})";
  EXPECT_EQ(capture.lines(), (std::vector<std::string>{line, line}));
}

TEST(HashRange, StopsAtTheEndOfAShortFile) {
  test::TempDir dir;
  std::string path = dir.file("ten.bin");
  test::write_file(path, "0123456789");
  ScopedProgressCapture capture;
  Progress silent = Progress::silent(system_clock());
  auto hashed = hash_range(silent, CheckedTarget::as_found(path), 1000, "m");
  ASSERT_TRUE(hashed.has_value()) << hashed.error().message;
  EXPECT_EQ(hashed->bytes, 10u);
  EXPECT_EQ(hashed->sha256, sha_of("0123456789"));
  EXPECT_TRUE(capture.lines().empty());  // silent, no lines
}

TEST(HashRange, ReadsExclusivelyIn4MiBPiecesAndNeverHashesPastTheCount) {
  test::TempDir dir;
  std::string path = dir.file("disk.img");
  std::string data = test::pattern_bytes(2 * kIoBufferSize + 12345);
  test::write_file(path, data);
  test::FaultFileSystem fs;
  ScopedFileSystem scoped(fs);

  const uint64_t count = kIoBufferSize + 1;
  Progress silent = Progress::silent(system_clock());
  auto hashed = hash_range(silent, CheckedTarget::as_found(path), count, "m");
  ASSERT_TRUE(hashed.has_value()) << hashed.error().message;
  EXPECT_EQ(hashed->bytes, count);
  EXPECT_EQ(hashed->sha256, sha_of(data.substr(0, count)));
  ASSERT_EQ(fs.opened().size(), 1u);
  EXPECT_EQ(fs.opened()[0].second, OpenMode::kExclusiveRead);
  // One full chunk, then the last byte alone: nothing past the count is read.
  EXPECT_EQ(fs.read_lengths(), (std::vector<size_t>{kIoBufferSize, 1}));

  fs.read_lengths().clear();
  auto whole = hash_range(silent, CheckedTarget::as_found(path), UINT64_MAX, "m");
  ASSERT_TRUE(whole.has_value());
  EXPECT_EQ(whole->bytes, data.size());
  EXPECT_EQ(whole->sha256, sha_of(data));
  for (size_t len : fs.read_lengths()) EXPECT_EQ(len, kIoBufferSize);
}

TEST(HashRange, VerifyLinesAreRateLimitedBetweenTheStartAndTheEnd) {
  test::TempDir dir;
  std::string path = dir.file("disk.img");
  test::write_file(path, test::pattern_bytes(3 * kIoBufferSize));
  ScopedProgressCapture capture;
  // The clock is read at the start, once per chunk (300, 600, 900 ms) and
  // once at the end (1200 ms): only the second chunk's reading is 500 ms
  // after the previous line.
  test::FakeClock clock(std::chrono::milliseconds(300));
  Progress progress("s-1", "t-7", clock);
  auto hashed = hash_range(progress, CheckedTarget::as_found(path), 3 * kIoBufferSize, "Rechecking");
  ASSERT_TRUE(hashed.has_value()) << hashed.error().message;

  std::vector<std::pair<uint64_t, uint64_t>> seen;  // bytesProcessed, speedBps
  for (const auto& text : capture.lines()) {
    json line = json::parse(text);
    EXPECT_EQ(line["stage"], "VERIFY");
    EXPECT_EQ(line["message"], "Rechecking");
    EXPECT_EQ(line["taskId"], "t-7");
    EXPECT_EQ(line["sessionId"], "s-1");
    EXPECT_EQ(line["bytesTotal"], 3 * kIoBufferSize);
    seen.emplace_back(line["bytesProcessed"].get<uint64_t>(), line["speedBps"].get<uint64_t>());
  }
  const uint64_t mib = 1 << 20;
  EXPECT_EQ(seen,
            (std::vector<std::pair<uint64_t, uint64_t>>{{0, 0}, {8 * mib, 8 * mib * 10 / 6}, {12 * mib, 10 * mib}}));
  EXPECT_EQ(hashed->speed, 10 * mib);
}

TEST(HashRange, FailuresMapToTheTargetErrorCodes) {
  // A refused open is the advice to run elevated only when the helper is not.
  ScopedElevation not_elevated(false);
  test::TempDir dir;
  std::string path = dir.file("disk.img");
  test::write_file(path, test::pattern_bytes(kIoBufferSize + 10));
  test::FaultFileSystem fs;
  ScopedFileSystem scoped(fs);

  int denied = test::on_windows() ? 5 : 13;
  fs.any_path.open_error = SysError{denied, "Access is denied. (os error 5)"};
  Progress silent = Progress::silent(system_clock());
  auto refused = hash_range(silent, CheckedTarget::as_found(path), 100, "m");
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error().code, ErrorCode::kElevationDenied);

  fs.any_path.open_error = SysError{2, "The system cannot find the file specified. (os error 2)"};
  auto missing = hash_range(silent, CheckedTarget::as_found(path), 100, "m");
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error(), (HelperError{ErrorCode::kDeviceDisconnected, fs.any_path.open_error->message}));

  fs.any_path.open_error.reset();
  fs.any_path.seek_error = SysError{22, "Invalid argument (os error 22)"};
  auto unseekable = hash_range(silent, CheckedTarget::as_found(path), 100, "m");
  ASSERT_FALSE(unseekable.has_value());
  EXPECT_EQ(unseekable.error(), (HelperError{ErrorCode::kDeviceDisconnected, "Invalid argument (os error 22)"}));

  fs.any_path.seek_error.reset();
  fs.any_path.fail_reads_after = kIoBufferSize;  // the second read fails
  fs.any_path.io_error = SysError{1167, "The device is not connected. (os error 1167)"};
  auto unplugged = hash_range(silent, CheckedTarget::as_found(path), UINT64_MAX, "m");
  ASSERT_FALSE(unplugged.has_value());
  EXPECT_EQ(unplugged.error(),
            (HelperError{ErrorCode::kDeviceDisconnected, "The device is not connected. (os error 1167)"}));
}

TEST(HashRange, AReadFailingAtAnyChunkComesAfterEveryChunkBeforeItWasHashed) {
  test::TempDir dir;
  std::string path = dir.file("disk.img");
  test::write_file(path, test::pattern_bytes(3 * kIoBufferSize));
  const uint64_t mib = 1 << 20;
  // With 300 ms per clock reading, the second chunk's reading is the only one
  // due: a failure before it leaves the start line alone.
  const struct {
    int failing_read;
    std::vector<uint64_t> progress;  // bytesProcessed of the lines printed
  } cases[] = {{0, {0}}, {1, {0}}, {2, {0, 8 * mib}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.failing_read);
    test::FaultFileSystem fs;
    ScopedFileSystem scoped(fs);
    fs.fail_read(path, c.failing_read, 1167);
    ScopedProgressCapture capture;
    test::FakeClock clock(std::chrono::milliseconds(300));
    Progress progress("s", "t", clock);
    auto hashed = hash_range(progress, CheckedTarget::as_found(path), UINT64_MAX, "m");
    ASSERT_FALSE(hashed.has_value());
    EXPECT_EQ(hashed.error(), (HelperError{ErrorCode::kDeviceDisconnected, os_error_text(1167)}));
    std::vector<uint64_t> seen;
    for (const auto& text : capture.lines()) seen.push_back(json::parse(text)["bytesProcessed"].get<uint64_t>());
    EXPECT_EQ(seen, c.progress);
    // Reading stopped at the failure.
    EXPECT_EQ(fs.reads(path), c.failing_read + 1);
  }
}

}  // namespace
}  // namespace dh
