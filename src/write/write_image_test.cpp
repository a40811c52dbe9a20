// write_image: the line sequence, the readback, the preconditions and the
// failures a real card produces.
#include <gtest/gtest.h>

#include <filesystem>

#include "platform/elevation.h"
#include "base/text.h"
#include "image/xz_image.h"
#include "platform/buffered_io.h"
#include "progress/progress.h"
#include "rawdisk/raw_access.h"
#include "support/fake_clock.h"
#include "support/fake_volumes.h"
#include "support/fault_file_system.h"
#include "support/test_support.h"
#include "support/write_test_util.h"
#include "write/write_image.h"

namespace dh {
namespace {

constexpr const char* kDecompressHint =
    ": use \"xz\", \"gz\", \"bz2\", \"zstd\" or \"zip\" for a compressed image, \"auto\" to tell the format from "
    "the file, or leave the field out for a plain image";

using nlohmann::json;
using std::chrono::milliseconds;

constexpr const char* kEmptySha256 = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
constexpr const char* kVerify = "Verifying written bytes from a fresh Windows disk handle";
constexpr const char* kRecheck = "Rechecking written bytes from a fresh Windows disk handle";

json line(const std::string& stage, uint64_t done, uint64_t total, uint64_t speed, const std::string& message) {
  return {{"bytesProcessed", done}, {"bytesTotal", total}, {"event", "progress"}, {"message", message},
          {"sessionId", "s-1"},     {"speedBps", speed},   {"stage", stage},      {"taskId", "t-7"}};
}

// A write onto a plain file standing in for the drive.
struct WriteCase {
  test::TempDir dir;
  std::string image = dir.file("image.img");
  std::string target = dir.file("target.img");
  json payload;

  explicit WriteCase(const std::string& image_bytes, const std::string& target_bytes = "") {
    test::write_file(image, image_bytes);
    test::write_file(target, target_bytes);
    payload = {{"imagePath", image}, {"osDevicePath", target}, {"taskId", "t-7"}};
  }
};

using Run = test::WriteRun;
using test::run_write;

std::string hex(const std::string& bytes) {
  return hex_encode(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

// Volumes that all lie on `disk`; `timeline` gets only how long each lock is
// held, between the other fake's events.
void volumes_on_disk(test::FakeVolumes& volumes, std::vector<std::string>& timeline, uint32_t disk,
                     const std::vector<std::string>& names) {
  for (const std::string& name : names) volumes.add(name, {disk});
  volumes.timeline = &timeline;
  volumes.timeline_entries = test::FakeVolumes::Timeline::kHeldLocks;
}

std::vector<std::string> messages(const std::vector<json>& lines) {
  std::vector<std::string> out;
  for (const auto& l : lines) out.push_back(l["stage"].get<std::string>() + " " + l["message"].get<std::string>());
  return out;
}

TEST(WriteImage, PiImageReadsBackIdenticalWithTheExactLineSequence) {
  std::string image = test::read_file(test::fixture("pi.img"));
  std::string expected_sha = test::read_file(test::fixture("pi.img.sha256")).substr(0, 64);
  // The target holds other bytes first, as a used card does.
  WriteCase c(image, std::string(image.size(), '\xA5'));
  c.payload["imagePath"] = test::fixture("pi.img");
  test::FakeClock clock;  // no time passes: both speed floors show
  auto run = run_write(c.payload, clock);
  ASSERT_TRUE(run.result.has_value()) << run.result.error().message;

  const uint64_t n = image.size();
  const std::string writing = "Writing image to " + c.target;
  std::vector<json> expected = {line("WRITE", n, 0, n * 1000, writing),
                                line("FINALIZE", n, 0, n * 1000, "Flushing disk buffers"),
                                line("FINALIZE", n, 0, n, "Disk buffers flushed"), line("VERIFY", 0, n, 0, kVerify),
                                line("VERIFY", n, n, n * 1000, kVerify)};
  EXPECT_EQ(run.lines, expected);
  EXPECT_EQ(*run.result, (json{{"bytesWritten", n},
                               {"speedBps", n},
                               {"sourceSha256", expected_sha},
                               {"verifiedBeforeFinalize", true},
                               {"observedSha256", expected_sha},
                               {"verifiedBytes", n},
                               {"verifySpeedBps", n * 1000},
                               {"verifyAttempts", 1},
                               {"firstObservedSha256", nullptr},
                               {"mismatch", nullptr}}));
  EXPECT_TRUE(test::read_file(c.target) == image);
  EXPECT_TRUE(clock.sleeps.empty());
}

TEST(WriteImage, WriteLinesAreRateLimitedToHalfSeconds) {
  // Five chunks, the last one short; the clock moves 300 ms per reading.
  const size_t size = 4 * kIoBufferSize + 1000;
  WriteCase c(test::pattern_bytes(size));
  c.payload["skipReadback"] = true;
  test::FakeClock clock(milliseconds(300));
  auto run = run_write(c.payload, clock);
  ASSERT_TRUE(run.result.has_value()) << run.result.error().message;
  // Start at 0 ms; chunks end at 300, 600 (due), 900, 1200 (due), 1500; the
  // final line reads 1800 ms and the flushed line 2100 ms.
  const uint64_t mib4 = kIoBufferSize;
  const std::string writing = "Writing image to " + c.target;
  std::vector<json> expected = {line("WRITE", 2 * mib4, 0, static_cast<uint64_t>(2 * mib4 / 0.6), writing),
                                line("WRITE", 4 * mib4, 0, static_cast<uint64_t>(4 * mib4 / 1.2), writing),
                                line("WRITE", size, 0, static_cast<uint64_t>(size / 1.8), writing),
                                line("FINALIZE", size, 0, static_cast<uint64_t>(size / 1.8), "Flushing disk buffers"),
                                line("FINALIZE", size, 0, static_cast<uint64_t>(size / 2.1), "Disk buffers flushed")};
  EXPECT_EQ(run.lines, expected);
  EXPECT_EQ(*run.result, (json{{"bytesWritten", size},
                               {"speedBps", static_cast<uint64_t>(size / 2.1)},
                               {"sourceSha256", test::sha256_hex(test::read_file(c.image))},
                               {"verifiedBeforeFinalize", true},
                               {"skippedReadback", true}}));
  EXPECT_TRUE(test::read_file(c.target) == test::read_file(c.image));
}

TEST(WriteImage, BytesTotalZeroWritesNothingAndVerifiesTheEmptyRange) {
  WriteCase c(test::pattern_bytes(5000), "untouched");
  c.payload["bytesTotal"] = 0;
  // A target path without a drive number locks no volume, not even disk 0's.
  std::vector<std::string> volume_events;
  test::FakeVolumes volumes;
  volumes_on_disk(volumes, volume_events, 0, {"\\\\?\\Volume{a}\\"});
  ScopedVolumeSystem scoped_volumes(volumes);
  test::FakeClock clock;
  auto run = run_write(c.payload, clock);
  EXPECT_TRUE(volume_events.empty());
  ASSERT_TRUE(run.result.has_value()) << run.result.error().message;
  EXPECT_EQ(messages(run.lines),
            (std::vector<std::string>{"WRITE Writing image to " + c.target, "FINALIZE Flushing disk buffers",
                                      "FINALIZE Disk buffers flushed", std::string("VERIFY ") + kVerify,
                                      std::string("VERIFY ") + kVerify}));
  EXPECT_EQ((*run.result)["bytesWritten"], 0);
  EXPECT_EQ((*run.result)["verifiedBytes"], 0);
  EXPECT_EQ((*run.result)["verifyAttempts"], 1);
  EXPECT_EQ((*run.result)["sourceSha256"], kEmptySha256);
  EXPECT_EQ((*run.result)["observedSha256"], kEmptySha256);
  EXPECT_EQ(test::read_file(c.target), "untouched");
}

TEST(WriteImage, BytesTotalBelowTheImageWritesAndHashesExactlyThatMany) {
  const std::string image = test::pattern_bytes(2 * kIoBufferSize + 999);
  const size_t bound = kIoBufferSize + 1234567;
  WriteCase c(image, std::string(image.size(), 'x'));
  c.payload["bytesTotal"] = bound;
  test::FakeClock clock;
  auto run = run_write(c.payload, clock);
  ASSERT_TRUE(run.result.has_value()) << run.result.error().message;
  EXPECT_EQ((*run.result)["bytesWritten"], bound);
  EXPECT_EQ((*run.result)["sourceSha256"], test::sha256_hex(image.substr(0, bound)));
  EXPECT_EQ((*run.result)["verifyAttempts"], 1);
  EXPECT_EQ(run.lines.front()["bytesTotal"], bound);
  std::string target = test::read_file(c.target);
  EXPECT_TRUE(target.substr(0, bound) == image.substr(0, bound));
  EXPECT_EQ(target.substr(bound), std::string(image.size() - bound, 'x'));
}

TEST(WriteImage, BytesTotalBeyondTheImageStopsAtItsEndAndReportsWhereTheTargetRunsShort) {
  const std::string image = test::pattern_bytes(kIoBufferSize + 4321);
  WriteCase c(image);
  c.payload["bytesTotal"] = 3 * kIoBufferSize;
  test::FakeClock clock;
  auto run = run_write(c.payload, clock);
  ASSERT_TRUE(run.result.has_value()) << run.result.error().message;
  const json& p = *run.result;
  EXPECT_EQ(p["bytesWritten"], image.size());
  EXPECT_EQ(p["verifiedBytes"], image.size());
  EXPECT_EQ(p["verifyAttempts"], 2);
  // Every byte that is there matches, so the digests do too; the missing
  // bytes make it a mismatch all the same.
  EXPECT_EQ(p["observedSha256"], p["sourceSha256"]);
  EXPECT_EQ(p["firstObservedSha256"], p["sourceSha256"]);
  EXPECT_EQ(p["mismatch"], (json{{"offset", image.size()}, {"expectedSampleHex", ""}, {"observedSampleHex", ""}}));
  EXPECT_EQ(clock.sleeps, std::vector<milliseconds>{milliseconds(250)});
  EXPECT_EQ(messages(run.lines).back(), std::string("VERIFY ") + kRecheck);
}

TEST(WriteImage, OnlyTheJsonTrueSkipsTheReadback) {
  for (const json& flag : {json("true"), json(1), json(false), json(nullptr)}) {
    WriteCase c(test::pattern_bytes(777));
    c.payload["skipReadback"] = flag;
    test::FakeClock clock;
    auto run = run_write(c.payload, clock);
    ASSERT_TRUE(run.result.has_value());
    EXPECT_EQ((*run.result)["verifyAttempts"], 1) << flag;
    EXPECT_FALSE(run.result->contains("skippedReadback"));
    EXPECT_EQ(run.lines.size(), 5u);
  }
}

TEST(WriteImage, PreconditionsFailInTheirOrderBeforeAnythingIsWritten) {
  // A refused open is the advice to run elevated only when the helper is not.
  ScopedElevation not_elevated(false);
  test::TempDir dir;
  std::string image = dir.file("image.img");
  std::string target = dir.file("target.img");
  test::write_file(image, "image");
  test::write_file(target, "target");
  test::FakeClock clock;
  auto error_of = [&](const json& payload) {
    auto run = run_write(payload, clock);
    EXPECT_FALSE(run.result.has_value());
    EXPECT_TRUE(run.lines.empty());
    return run.result.has_value() ? HelperError{} : run.result.error();
  };
  EXPECT_EQ(error_of({{"imagePath", 5}, {"taskId", 1}}),
            (HelperError{ErrorCode::kUnknown, "Missing imagePath payload field"}));
  EXPECT_EQ(error_of({{"imagePath", dir.file("none.img")}, {"deviceId", "disk4"}}),
            (HelperError{ErrorCode::kUnknown, "Missing osDevicePath/deviceId payload field"}));
  EXPECT_EQ(error_of({{"imagePath", dir.file("none.img")}, {"osDevicePath", target}}),
            (HelperError{ErrorCode::kImageMissing, "Image does not exist: " + dir.file("none.img")}));
  // A folder has metadata but cannot be opened as an image.
  HelperError folder = error_of({{"imagePath", dir.path()}, {"osDevicePath", target}});
  EXPECT_EQ(folder.code, ErrorCode::kImageMissing);
  EXPECT_NE(folder.message.find("(os error "), std::string::npos) << folder.message;
  EXPECT_EQ(error_of({{"imagePath", image}, {"osDevicePath", dir.file("gone.img")}}),
            (HelperError{ErrorCode::kDeviceDisconnected, os_error_text(2)}));
  // Written as it is, a compressed file would read back as a perfect copy of
  // itself: an unbootable card answered as good.
  for (const json& value : {json("XZ"), json("zst"), json("gzip"), json(""), json(true), json(1)}) {
    EXPECT_EQ(error_of({{"imagePath", dir.file("none.img")}, {"osDevicePath", target}, {"decompress", value}}),
              (HelperError{ErrorCode::kUnknown, "Unknown decompress value " + value.dump() + kDecompressHint}));
  }

  test::FaultFileSystem fs;
  ScopedFileSystem scoped(fs);
  fs.fail_open(target, OpenMode::kExclusiveWrite, test::on_windows() ? 5 : 13);
  EXPECT_EQ(error_of({{"imagePath", image}, {"osDevicePath", target}}),
            (HelperError{ErrorCode::kElevationDenied, kElevationDeniedMessage}));
  EXPECT_EQ(fs.open_handles(), 0);
  EXPECT_EQ(test::read_file(target), "target");

  // A drive smaller than what is to be written: its length is known, so
  // nothing is written. bytesTotal, when smaller, is what counts.
  test::FaultFileSystem small;
  ScopedFileSystem scoped_small(small);
  const std::string drive = "\\\\.\\PhysicalDrive6";
  test::write_file(image, std::string(4096, 'i'));
  small.raw_drive(drive, target, 512, 2048);
  EXPECT_EQ(error_of({{"imagePath", image}, {"osDevicePath", drive}}),
            (HelperError{ErrorCode::kUnknown,
                         "The image does not fit on the target: 4096 bytes to write, 2048 bytes on " + drive}));
  EXPECT_EQ(error_of({{"imagePath", image}, {"osDevicePath", drive}, {"bytesTotal", 3000}}),
            (HelperError{ErrorCode::kUnknown,
                         "The image does not fit on the target: 3000 bytes to write, 2048 bytes on " + drive}));
  EXPECT_EQ(test::read_file(target), "target");
  EXPECT_EQ(small.writes(drive), 0);
  EXPECT_TRUE(
      run_write({{"imagePath", image}, {"osDevicePath", drive}, {"bytesTotal", 2048}}, clock).result.has_value());
}

// The checks (the system disk refused, which volumes to lock) ran on what the
// path reached then; a link repointed before the write's open must not send
// the write somewhere else.
TEST(WriteImage, ATargetThatNowOpensSomethingElseIsNotWritten) {
  if (test::on_windows()) GTEST_SKIP() << "needs a symbolic link that the test can repoint";
  test::TempDir dir;
  const std::string image = dir.file("image.img");
  const std::string card = dir.file("card.img");
  const std::string other = dir.file("system.img");
  const std::string link = dir.file("target");
  test::write_file(image, test::pattern_bytes(8192));
  test::write_file(card, "card");
  test::write_file(other, "the system disk");
  std::filesystem::create_symlink(card, link);
  test::FaultFileSystem fs;
  fs.on_open = [&](const std::string& path, OpenMode mode) {
    if (path != link || mode != OpenMode::kExclusiveWrite) return;
    std::filesystem::remove(link);
    std::filesystem::create_symlink(other, link);
  };
  ScopedFileSystem scoped(fs);
  test::FakeClock clock;
  auto run = run_write({{"imagePath", image}, {"osDevicePath", link}}, clock);
  ASSERT_FALSE(run.result.has_value());
  EXPECT_EQ(run.result.error(),
            (HelperError{ErrorCode::kDeviceDisconnected,
                         "Refusing " + link + ": it now opens another device or file than the one that was checked"}));
  EXPECT_EQ(test::read_file(other), "the system disk");
  EXPECT_EQ(test::read_file(card), "card");
  EXPECT_EQ(fs.open_handles(), 0);
}

TEST(WriteImage, VolumeLocksAreHeldUntilTheHandlerReturnsAndReleasedInOrder) {
  const std::string drive = "\\\\.\\PhysicalDrive7";
  WriteCase c(test::pattern_bytes(kIoBufferSize + 10));
  test::FaultFileSystem fs;
  fs.redirect(drive, c.target);
  test::FakeVolumes volumes;
  volumes_on_disk(volumes, fs.events(), 7, {"\\\\?\\Volume{a}\\", "\\\\?\\Volume{b}\\"});
  ScopedFileSystem scoped_fs(fs);
  ScopedVolumeSystem scoped_volumes(volumes);
  c.payload["osDevicePath"] = drive;
  // Both readback attempts see a flipped byte, so the first-difference scan
  // runs too.
  fs.corrupt_read(drive, 1, 5);
  fs.corrupt_read(drive, 2, 5);
  fs.corrupt_read(drive, 3, 5);
  test::FakeClock clock;
  auto run = run_write(c.payload, clock);
  ASSERT_TRUE(run.result.has_value()) << run.result.error().message;
  EXPECT_EQ((*run.result)["mismatch"]["offset"], 5);
  EXPECT_EQ(fs.events(), (std::vector<std::string>{
                             "open shared-read " + c.image, "lock \\\\?\\Volume{a}\\", "lock \\\\?\\Volume{b}\\",
                             "open exclusive-write " + drive, "close " + drive, "open exclusive-read " + drive,
                             "close " + drive,                                               // attempt 1
                             "open exclusive-read " + drive, "close " + drive,               // attempt 2
                             "open shared-read " + c.image, "open exclusive-read " + drive,  // first difference
                             "close " + drive, "close " + c.image, "release \\\\?\\Volume{a}\\",
                             "release \\\\?\\Volume{b}\\", "close " + c.image}));

  // A failed write releases the same way: target, volumes, image.
  fs.events().clear();
  fs.fail_write(drive, fs.writes(drive), test::io_error_code());
  auto failed = run_write(c.payload, clock);
  ASSERT_FALSE(failed.result.has_value());
  EXPECT_EQ(failed.result.error(), (HelperError{ErrorCode::kWriteFailed, os_error_text(test::io_error_code())}));
  EXPECT_EQ(fs.events(),
            (std::vector<std::string>{"open shared-read " + c.image, "lock \\\\?\\Volume{a}\\",
                                      "lock \\\\?\\Volume{b}\\", "open exclusive-write " + drive, "close " + drive,
                                      "release \\\\?\\Volume{a}\\", "release \\\\?\\Volume{b}\\", "close " + c.image}));
  EXPECT_EQ(fs.open_handles(), 0);
}

TEST(WriteImage, AVolumeThatCannotBeLockedStopsTheRunBeforeTheTargetOpens) {
  const std::string drive = "\\\\.\\PhysicalDrive3";
  WriteCase c(test::pattern_bytes(100), "target");
  test::FaultFileSystem fs;
  fs.redirect(drive, c.target);
  test::FakeVolumes volumes;
  volumes_on_disk(volumes, fs.events(), 3, {"\\\\?\\Volume{a}\\", "\\\\?\\Volume{b}\\"});
  volumes.volumes[1].open_write_error = 5;  // another process holds it open
  ScopedFileSystem scoped_fs(fs);
  ScopedVolumeSystem scoped_volumes(volumes);
  c.payload["osDevicePath"] = drive;
  test::FakeClock clock;
  auto run = run_write(c.payload, clock);
  ASSERT_FALSE(run.result.has_value());
  EXPECT_EQ(run.result.error(), (HelperError{ErrorCode::kUnmountFailed,
                                             "Unable to open mounted volume \\\\?\\Volume{b}\\: " + os_error_text(5)}));
  EXPECT_EQ(fs.opens(drive), 0);
  EXPECT_EQ(fs.open_handles(), 0);
  EXPECT_EQ(fs.events().back(), "close " + c.image);
  EXPECT_EQ(test::read_file(c.target), "target");
}

TEST(WriteImage, TheBuiltHelperPrintsProgressThenOneResponseLine) {
  test::TempDir dir;
  const std::string image = test::pattern_bytes(kIoBufferSize + 513);
  test::write_file(dir.file("image.img"), image);
  test::write_file(dir.file("target.img"), "");
  auto run = test::run_command(
      "write_image", {{"imagePath", dir.file("image.img")}, {"osDevicePath", dir.file("target.img")}, {"taskId", 9}});
  EXPECT_EQ(run.exit_code, 0);
  ASSERT_GE(run.lines.size(), 6u) << run.out;
  // A slow machine may add rate-limited lines; the stages keep their order
  // and each ends with its closing line.
  std::string stages;
  for (size_t i = 0; i + 1 < run.lines.size(); ++i) {
    json l = json::parse(run.lines[i]);
    EXPECT_EQ(l["sessionId"], "s");
    EXPECT_EQ(l["taskId"], "unknown");
    std::string stage = l["stage"];
    if (stages.empty() || stages.back() != stage[0] || stage == "FINALIZE") stages += stage[0];
  }
  EXPECT_EQ(stages, "WFFV");
  EXPECT_EQ(json::parse(run.lines[run.lines.size() - 2])["bytesProcessed"], image.size());
  const json& p = run.payload();
  EXPECT_EQ(run.response["ok"], true);
  EXPECT_EQ(p["sourceSha256"], test::sha256_hex(image));
  EXPECT_EQ(p["observedSha256"], p["sourceSha256"]);
  EXPECT_EQ(p["verifyAttempts"], 1);
  EXPECT_TRUE(test::read_file(dir.file("target.img")) == image);

  auto missing =
      test::run_command("write_image", {{"imagePath", dir.file("none.img")}, {"deviceId", "\\\\.\\PhysicalDrive9"}});
  EXPECT_EQ(missing.out, "{\"id\":\"t\",\"ok\":false,\"errorCode\":\"IMAGE_MISSING\",\"errorMessage\":" +
                             json("Image does not exist: " + dir.file("none.img")).dump() + "}\n");
}

// Each failure a card, reader or cable can produce: the documented code and
// text, never a success, no handle left open, nothing read back.
class WriteFaults : public ::testing::Test {
 protected:
  WriteFaults() : c(test::pattern_bytes(3 * kIoBufferSize + 300)), scoped(fs) {}

  HelperError fails() {
    auto run = run_write(c.payload, clock);
    EXPECT_FALSE(run.result.has_value());
    EXPECT_EQ(fs.open_handles(), 0);
    EXPECT_EQ(fs.opens(c.target), 1) << "the target must not be read back after a failure";
    for (const auto& l : run.lines) EXPECT_NE(l["message"], "Disk buffers flushed");
    return run.result.has_value() ? HelperError{} : run.result.error();
  }

  WriteCase c;
  test::FaultFileSystem fs;
  ScopedFileSystem scoped;
  test::FakeClock clock;
  const int eio = test::io_error_code();
};

// The image is read and hashed ahead of the writes: a failure at the first,
// a middle or the last chunk (the staged tail) stops the run there, with the
// chunks before it on the target and nothing after it.
TEST_F(WriteFaults, ReadOrWriteFailingAtTheFirstAMiddleOrTheLastChunk) {
  struct Case {
    const char* what;
    bool image_read;  // else a target write
    int chunk;
    size_t chunks_on_target;
    uint64_t reported;  // the most any line may count as handed to the target
  };
  const std::string image = test::read_file(c.image);
  const uint64_t chunk = kIoBufferSize;
  // The 300-byte tail is staged, so it counts as handed on before the
  // finalize stage writes it out.
  const Case cases[] = {
      {"image read, first chunk", true, 0, 0, 0},         {"image read, middle chunk", true, 2, 2, 2 * chunk},
      {"image read, tail", true, 3, 3, 3 * chunk},        {"target write, first chunk", false, 0, 0, 0},
      {"target write, middle chunk", false, 1, 1, chunk}, {"target write, tail", false, 3, 3, image.size()},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    test::FaultFileSystem faults;
    ScopedFileSystem scoped_faults(faults);
    test::write_file(c.target, "");
    if (k.image_read) {
      faults.fail_read(c.image, k.chunk, eio);
    } else {
      faults.fail_write(c.target, k.chunk, eio);
    }
    auto run = run_write(c.payload, clock);
    ASSERT_FALSE(run.result.has_value());
    EXPECT_EQ(run.result.error(), (HelperError{ErrorCode::kWriteFailed, os_error_text(eio)}));
    EXPECT_EQ(faults.open_handles(), 0);
    EXPECT_EQ(faults.opens(c.target), 1);
    EXPECT_EQ(faults.writes(c.target), k.image_read ? k.chunk : k.chunk + 1);
    EXPECT_TRUE(test::read_file(c.target) == image.substr(0, k.chunks_on_target * chunk));
    for (const auto& l : run.lines) {
      EXPECT_NE(l["message"], "Disk buffers flushed");
      EXPECT_LE(l["bytesProcessed"].get<uint64_t>(), k.reported);
    }
  }
}

TEST_F(WriteFaults, DeviceFlushFailingStillClosesTheTarget) {
  fs.fail_flush(c.target, eio);
  EXPECT_EQ(fails(), (HelperError{ErrorCode::kWriteFailed, os_error_text(eio)}));
  // The whole image reached the target before the commit failed.
  EXPECT_TRUE(test::read_file(c.target) == test::read_file(c.image));
}

TEST_F(WriteFaults, FullChunkAcceptedWithZeroBytes) {
  fs.refuse_write(c.target, 1);
  EXPECT_EQ(fails(), (HelperError{ErrorCode::kWriteFailed, "failed to write whole buffer"}));
}

TEST_F(WriteFaults, StagedTailAcceptedWithZeroBytes) {
  // Three full chunks go straight through; the 300-byte tail is staged and
  // written out at the finalize stage.
  fs.refuse_write(c.target, 3);
  EXPECT_EQ(fails(), (HelperError{ErrorCode::kWriteFailed, "failed to write the buffered data"}));
}

TEST_F(WriteFaults, DeviceEndingEarly) {
  fs.end_at(c.target, kIoBufferSize + 512);
  EXPECT_EQ(fails(), (HelperError{ErrorCode::kWriteFailed, "failed to write whole buffer"}));
  EXPECT_EQ(test::read_file(c.target).size(), kIoBufferSize + 512);
}

TEST_F(WriteFaults, ReadbackOpenRefused) {
  // A refused open is the advice to run elevated only when the helper is not.
  ScopedElevation not_elevated(false);
  fs.fail_open(c.target, OpenMode::kExclusiveRead, test::on_windows() ? 5 : 13);
  auto run = run_write(c.payload, clock);
  ASSERT_FALSE(run.result.has_value());
  EXPECT_EQ(run.result.error(), (HelperError{ErrorCode::kElevationDenied, kElevationDeniedMessage}));
  EXPECT_EQ(fs.open_handles(), 0);
}

TEST_F(WriteFaults, ReadbackReadFailingIsADisconnect) {
  fs.fail_read(c.target, 1, eio);
  auto run = run_write(c.payload, clock);
  ASSERT_FALSE(run.result.has_value());
  EXPECT_EQ(run.result.error(), (HelperError{ErrorCode::kDeviceDisconnected, os_error_text(eio)}));
  EXPECT_EQ(fs.open_handles(), 0);
}

TEST_F(WriteFaults, ReadbackDifferingOnTheFirstAttemptOnly) {
  fs.corrupt_read(c.target, 1, 2 * kIoBufferSize + 17);
  auto run = run_write(c.payload, clock);
  ASSERT_TRUE(run.result.has_value()) << run.result.error().message;
  const json& p = *run.result;
  EXPECT_EQ(p["verifyAttempts"], 2);
  EXPECT_EQ(p["observedSha256"], p["sourceSha256"]);
  EXPECT_NE(p["firstObservedSha256"], p["sourceSha256"]);
  EXPECT_TRUE(p["firstObservedSha256"].is_string());
  EXPECT_EQ(p["mismatch"], nullptr);
  EXPECT_EQ(clock.sleeps, std::vector<milliseconds>{milliseconds(250)});
  auto m = messages(run.lines);
  ASSERT_EQ(m.size(), 7u);
  EXPECT_EQ(m[3], std::string("VERIFY ") + kVerify);
  EXPECT_EQ(m[4], std::string("VERIFY ") + kVerify);
  EXPECT_EQ(m[5], std::string("VERIFY ") + kRecheck);
  EXPECT_EQ(m[6], std::string("VERIFY ") + kRecheck);
  EXPECT_EQ(fs.open_handles(), 0);
}

TEST_F(WriteFaults, ReadbackDifferingTwiceIsReportedWithSamples) {
  const uint64_t at = 2 * kIoBufferSize + 17;
  fs.corrupt_read(c.target, 1, at);
  fs.corrupt_read(c.target, 2, at);
  fs.corrupt_read(c.target, 3, at);  // the first-difference scan's handle
  auto run = run_write(c.payload, clock);
  ASSERT_TRUE(run.result.has_value()) << run.result.error().message;
  const json& p = *run.result;
  EXPECT_EQ(p["verifyAttempts"], 2);
  EXPECT_EQ(p["firstObservedSha256"], p["observedSha256"]);
  std::string image = test::read_file(c.image);
  std::string observed = image.substr(at, 32);
  observed[0] = static_cast<char>(observed[0] ^ 0xFF);
  EXPECT_EQ(
      p["mismatch"],
      (json{{"offset", at}, {"expectedSampleHex", hex(image.substr(at, 32))}, {"observedSampleHex", hex(observed)}}));
  EXPECT_EQ(fs.open_handles(), 0);
}

TEST_F(WriteFaults, AFailingFirstDifferenceScanIsReportedInsideTheAnswer) {
  fs.corrupt_read(c.target, 1, 3);
  fs.corrupt_read(c.target, 2, 3);
  // Four image reads feed the write loop (three chunks and the tail) and a
  // fifth sees the end; the scan's first read is the sixth.
  fs.fail_read(c.image, 5, eio);
  auto run = run_write(c.payload, clock);
  ASSERT_TRUE(run.result.has_value()) << run.result.error().message;
  EXPECT_EQ((*run.result)["mismatch"], (json{{"errorCode", "IMAGE_MISSING"}, {"errorMessage", os_error_text(eio)}}));
  EXPECT_EQ(fs.open_handles(), 0);
}

}  // namespace
}  // namespace dh

namespace dh {
namespace {

// decompress "xz": the card the two-step way (image_extract_xz, then
// write_image of the plain file) would leave, from one request; the .xz
// file's ends refused before the target is touched; a damaged block stopping
// the write before the chunk it falls in.
TEST(WriteImageFromXz, WritesTheCardTheTwoStepWayWouldAndRefusesDefectsAsTheXzCommandsDo) {
  const std::string drive = "\\\\.\\PhysicalDrive5";
  const std::string pi = test::read_file(test::fixture("pi.img"));
  const uint64_t n = pi.size();
  test::TempDir dir;
  const std::string card = dir.file("card.img");
  // A used card, a little larger than the image.
  const std::string used(n + 4096, '\xA5');
  auto after_writing = [&](const std::string& bytes) { return bytes + used.substr(bytes.size()); };

  // The two-step way, on a card of its own.
  const std::string extracted = dir.file("extracted.img");
  ASSERT_TRUE(xz_extract(test::fixture("pi.img.xz"), extracted).has_value());
  test::write_file(card, used);
  {
    test::FakeClock clock;
    json payload = {{"imagePath", extracted}, {"osDevicePath", card}, {"taskId", "t-7"}, {"skipReadback", true}};
    ASSERT_TRUE(run_write(payload, clock).result.has_value());
  }
  const std::string two_step = test::read_file(card);
  ASSERT_TRUE(two_step == after_writing(pi));

  const uint64_t at = 3 * kIoBufferSize + 5;  // where the readback sees a flipped byte
  std::string observed = pi.substr(at, 32);
  observed[0] = static_cast<char>(observed[0] ^ 0xFF);
  const std::string lock = "lock \\\\?\\Volume{a}\\";
  const std::string release = "release \\\\?\\Volume{a}\\";

  struct Case {
    const char* what;
    const char* image;
    json fields;
    int corrupt_reads;     // readback handles of the drive that see byte `at` flipped
    json answer;           // the members checked, or {errorCode, errorMessage}
    uint64_t lines_total;  // every progress line's bytesTotal
    const std::string* card_after;
    // Empty: not checked. "open shared-read" and "close" stand for the
    // image's open and close.
    std::vector<std::string> events;
  };
  const std::string pi_after = two_step;
  const std::string damaged = after_writing(pi.substr(0, 20 * 1024 * 1024));
  // The last block starts at 50 MiB, inside the chunk from 48 MiB on.
  const std::string damaged_last = after_writing(pi.substr(0, 12 * kIoBufferSize));
  const std::string& untouched = used;
  const Case cases[] = {
      {"one block",
       "pi.img.xz",
       {{"decompress", "xz"}},
       0,
       {{"bytesWritten", n},
        {"sourceSha256", test::sha256_hex(pi)},
        {"observedSha256", test::sha256_hex(pi)},
        {"verifiedBytes", n},
        {"verifyAttempts", 1},
        {"mismatch", nullptr}},
       n,
       &pi_after,
       {}},
      {"blocks decoded on several threads",
       "pi-blocks.img.xz",
       {{"decompress", "xz"}},
       0,
       {{"bytesWritten", n},
        {"sourceSha256", test::sha256_hex(pi)},
        {"observedSha256", test::sha256_hex(pi)},
        {"verifyAttempts", 1},
        {"mismatch", nullptr}},
       n,
       &pi_after,
       {}},
      {"a difference located in the bytes decoded again",
       "pi-blocks.img.xz",
       {{"decompress", "xz"}},
       3,
       {{"verifyAttempts", 2},
        {"mismatch",
         {{"offset", at}, {"expectedSampleHex", hex(pi.substr(at, 32))}, {"observedSampleHex", hex(observed)}}}},
       n,
       &pi_after,
       {}},
      {"any other value is refused before anything is opened",
       "pi.img.xz",
       {{"decompress", "XZ"}, {"skipReadback", true}},
       0,
       {{"errorCode", "UNKNOWN"}, {"errorMessage", std::string("Unknown decompress value \"XZ\"") + kDecompressHint}},
       0,
       &untouched,
       {}},
      {"a damaged block at 20 MiB",
       "pi-damaged.img.xz",
       {{"decompress", "xz"}},
       0,
       {{"errorCode", "XZ_INVALID"}, {"errorMessage", "XZ block data is corrupt or fails its integrity check"}},
       n,
       &damaged,
       {"open shared-read", lock, "open exclusive-write " + drive, "close " + drive, release, "close"}},
      {"a damaged first block",
       "pi-damaged-first.img.xz",
       {{"decompress", "xz"}},
       0,
       {{"errorCode", "XZ_INVALID"}, {"errorMessage", "XZ block data is corrupt or fails its integrity check"}},
       n,
       &untouched,
       {}},
      {"a damaged last block, in the last chunk",
       "pi-damaged-last.img.xz",
       {{"decompress", "xz"}},
       0,
       {{"errorCode", "XZ_INVALID"}, {"errorMessage", "XZ block data is corrupt or fails its integrity check"}},
       n,
       &damaged_last,
       {}},
      {"a corrupt index",
       "pi-index.img.xz",
       {{"decompress", "xz"}},
       0,
       {{"errorCode", "XZ_INVALID"}, {"errorMessage", "XZ index is corrupt or does not match the blocks"}},
       0,
       &untouched,
       {"open shared-read", "close"}},
      {"a corrupt footer",
       "pi-footer.img.xz",
       {{"decompress", "xz"}},
       0,
       {{"errorCode", "XZ_INVALID"}, {"errorMessage", "XZ stream footer is corrupt (CRC32 mismatch)"}},
       0,
       &untouched,
       {"open shared-read", "close"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    test::write_file(card, used);
    test::FaultFileSystem fs;
    fs.redirect(drive, card);
    test::FakeVolumes volumes;
    volumes_on_disk(volumes, fs.events(), 5, {"\\\\?\\Volume{a}\\"});
    ScopedFileSystem scoped_fs(fs);
    ScopedVolumeSystem scoped_volumes(volumes);
    for (int open = 1; open <= c.corrupt_reads; ++open) fs.corrupt_read(drive, open, at);
    json payload = {{"imagePath", test::fixture(c.image)}, {"osDevicePath", drive}, {"taskId", "t-7"}};
    payload.update(c.fields);
    test::FakeClock clock;
    auto run = run_write(payload, clock);

    if (run.result.has_value()) {
      for (const auto& [key, value] : c.answer.items()) EXPECT_EQ((*run.result)[key], value) << key;
    } else {
      EXPECT_EQ(
          json({{"errorCode", error_code_text(run.result.error().code)}, {"errorMessage", run.result.error().message}}),
          c.answer);
      for (const json& l : run.lines) EXPECT_NE(l["message"], "Disk buffers flushed");
    }
    // Without bytesTotal, an .xz image's lines count against the decoded
    // size its index gives.
    for (const json& l : run.lines) EXPECT_EQ(l["bytesTotal"], c.lines_total) << l["stage"];
    if (!c.events.empty()) {
      std::vector<std::string> expected;
      for (const std::string& e : c.events) {
        expected.push_back(e == "open shared-read" || e == "close" ? e + " " + test::fixture(c.image) : e);
      }
      EXPECT_EQ(fs.events(), expected);
    }
    EXPECT_EQ(fs.open_handles(), 0);
    {
      const std::string got = test::read_file(card);
      size_t i = 0;
      while (i < got.size() && i < c.card_after->size() && got[i] == (*c.card_after)[i]) ++i;
      EXPECT_TRUE(got == *c.card_after) << "the card holds other bytes than expected, first at " << i << " of "
                                        << got.size();
    }
  }
}

// XZ checks a block only after its last byte. Whether the write stops at the
// image's end, at a bytesTotal inside or at the end of the damaged block, or
// runs past the image, the answer is XZ_INVALID, and the damaged block's last
// piece never reaches the card: a block is written whole only once its check
// has passed. One block (decoded beside the writer) and many (on several
// threads).
TEST(WriteImageFromXz, ADamagedBlockFailsTheWriteWhereverBytesTotalEnds) {
  const uint64_t n = test::read_file(test::fixture("pi.img")).size();
  constexpr uint64_t kMiB = 1024 * 1024;
  test::TempDir dir;
  const std::string card = dir.file("card.img");
  const std::string used(n + 4096, '\xA5');
  struct Fixture {
    const char* image;
    uint64_t block_start;  // the damaged block's decoded bytes
    uint64_t block_end;
    uint64_t inside;  // a bytesTotal that ends inside that block or at its end (whole MiB where it can)
  };
  const Fixture fixtures[] = {
      {"pi-damaged-one.img.xz", 0, n, 20 * kMiB},
      {"pi-damaged.img.xz", 20 * kMiB, 21 * kMiB, 21 * kMiB},
      {"pi-damaged-last.img.xz", 50 * kMiB, n, 50 * kMiB + 512},
  };
  bool skip_readback = false;
  for (const Fixture& f : fixtures) {
    for (std::optional<uint64_t> total :
         {std::optional<uint64_t>(), std::optional(n), std::optional(f.inside), std::optional(n + 4096)}) {
      SCOPED_TRACE(std::string(f.image) + ", bytesTotal " + (total ? std::to_string(*total) : "absent"));
      test::write_file(card, used);
      json payload = {
          {"imagePath", test::fixture(f.image)}, {"osDevicePath", card}, {"taskId", "t-7"}, {"decompress", "xz"}};
      if (total) payload["bytesTotal"] = *total;
      skip_readback = !skip_readback;
      if (skip_readback) payload["skipReadback"] = true;
      test::FakeClock clock;
      auto run = run_write(payload, clock);
      ASSERT_FALSE(run.result.has_value());
      EXPECT_EQ(run.result.error(),
                (HelperError{ErrorCode::kXzInvalid, "XZ block data is corrupt or fails its integrity check"}));
      for (const json& l : run.lines) EXPECT_NE(l["message"], "Disk buffers flushed");
      const std::string after = test::read_file(card);
      const uint64_t held_from = std::max(f.block_start, f.block_end - std::min<uint64_t>(f.block_end, kMiB));
      EXPECT_TRUE(after.substr(held_from, f.block_end - held_from) == used.substr(held_from, f.block_end - held_from))
          << "the damaged block's last piece reached the card";
    }
  }
}

}  // namespace
}  // namespace dh
