// The image commands end to end through the built helper, and verify_hash's
// volume locking with fake volumes.
#include <gtest/gtest.h>

#include <filesystem>

#include "image/image_commands.h"
#include "decode/sha256.h"
#include "platform/volumes.h"
#include "support/fake_clock.h"
#include "support/fake_volumes.h"
#include "support/fault_file_system.h"
#include "support/test_support.h"

namespace dh {
namespace {

using nlohmann::json;

std::string fixture(const std::string& name) { return test::native_path(FIXTURE_DIR "/" + name); }

std::string sha_of(const std::string& data) {
  Sha256 sha;
  sha.update(reinterpret_cast<const uint8_t*>(data.data()), data.size());
  return sha.finish_hex();
}

std::string error_line(const std::string& code, const std::string& message) {
  return "{\"id\":\"t\",\"ok\":false,\"errorCode\":" + json(code).dump() + ",\"errorMessage\":" + json(message).dump() +
         "}\n";
}

TEST(XzCommands, MultiBlockImageSizeAndDigestMatchTheExtractedFile) {
  test::TempDir dir;
  std::string out = dir.file("image.img");
  auto valid = test::run_command("image_validate_xz", {{"imagePath", fixture("multi-block.xz")}});
  EXPECT_EQ(valid.out, "{\"id\":\"t\",\"ok\":true,\"payload\":{\"valid\":true}}\n");
  auto size = test::run_command("image_uncompressed_size", {{"imagePath", fixture("multi-block.xz")}});
  auto extract = test::run_command("image_extract_xz", {{"imagePath", fixture("multi-block.xz")}, {"outputPath", out}});
  ASSERT_EQ(extract.lines.size(), 1u) << extract.out;  // no progress lines
  EXPECT_EQ(extract.exit_code, 0);
  std::string written = test::read_file(out);
  EXPECT_EQ(size.payload(), (json{{"uncompressedBytes", written.size()}}));
  EXPECT_EQ(extract.payload(), (json{{"outputPath", out}, {"sha256", sha_of(written)}}));
  EXPECT_EQ(written, test::read_file(fixture("plain.bin")));

  // With a taskId the decoding reports "EXTRACT" lines, the last one at the
  // end, against the index's decoded size.
  auto followed = test::run_command("image_extract_xz",
                                    {{"imagePath", fixture("multi-block.xz")}, {"outputPath", out}, {"taskId", "t-1"}});
  ASSERT_GE(followed.lines.size(), 2u) << followed.out;
  EXPECT_EQ(followed.payload(), extract.payload());
  for (size_t i = 0; i + 1 < followed.lines.size(); ++i) {
    json l = json::parse(followed.lines[i]);
    EXPECT_EQ(l["stage"], "EXTRACT");
    EXPECT_EQ(l["taskId"], "t-1");
    EXPECT_EQ(l["bytesTotal"], written.size());
    EXPECT_EQ(l["message"], "Extracting image to " + out);
  }
  EXPECT_EQ(json::parse(followed.lines[followed.lines.size() - 2])["bytesProcessed"], written.size());
}

TEST(XzCommands, EmptyImageAnswers) {
  test::TempDir dir;
  auto size = test::run_command("image_uncompressed_size", {{"imagePath", fixture("empty.xz")}});
  EXPECT_EQ(size.out, "{\"id\":\"t\",\"ok\":true,\"payload\":{\"uncompressedBytes\":0}}\n");
  auto extract =
      test::run_command("image_extract_xz", {{"imagePath", fixture("empty.xz")}, {"outputPath", dir.file("e")}});
  EXPECT_EQ(extract.payload()["sha256"], "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_TRUE(test::file_exists(dir.file("e")));
}

TEST(XzCommands, UnsoundImagesAreXzInvalidWithTheDecoderText) {
  const std::pair<const char*, const char*> cases[] = {
      {"check-sha256.xz", "Unsupported XZ integrity check type SHA-256; only none, CRC32 and CRC64 are accepted"},
      {"bcj.xz", "Unsupported XZ filter chain: every block must use LZMA2 as its only filter"},
      {"padded.xz", "Unexpected data after the end of the XZ stream (stream padding or a second stream)"},
      {"two-streams.xz", "Unexpected data after the end of the XZ stream (stream padding or a second stream)"},
      {"truncated-middle.xz", "XZ data ends unexpectedly: the file is truncated"},
      {"flipped-last-block.xz", "XZ block data is corrupt or fails its integrity check"},
      {"plain.bin.gz", "Not an XZ file: the stream header's magic bytes are missing"},
      {"large-dictionary.xz", "XZ block needs 1537 MiB of memory to decode, more than the limit of 256 MiB"},
  };
  for (const auto& [name, text] : cases) {
    auto run = test::run_command("image_validate_xz", {{"imagePath", fixture(name)}});
    EXPECT_EQ(run.out, error_line("XZ_INVALID", text)) << name;
  }
  // An existing output is truncated at the start and left behind on failure.
  test::TempDir dir;
  test::write_file(dir.file("o"), "previous contents");
  auto extract = test::run_command("image_extract_xz",
                                   {{"imagePath", fixture("flipped-last-block.xz")}, {"outputPath", dir.file("o")}});
  EXPECT_EQ(extract.response["errorCode"], "XZ_INVALID");
  EXPECT_TRUE(test::file_exists(dir.file("o")));
  EXPECT_EQ(test::read_file(dir.file("o")).find("previous"), std::string::npos);
}

TEST(XzCommands, PreambleChecksFieldsThenExistence) {
  test::TempDir dir;
  EXPECT_EQ(test::run_command("image_extract_xz", json::object()).out,
            error_line("UNKNOWN", "Missing imagePath payload field"));
  EXPECT_EQ(test::run_command("image_extract_xz", {{"imagePath", "/no/such.xz"}}).out,
            error_line("UNKNOWN", "Missing outputPath payload field"));
  EXPECT_EQ(test::run_command("image_uncompressed_size", {{"imagePath", 5}}).out,
            error_line("UNKNOWN", "Missing imagePath payload field"));
  EXPECT_EQ(test::run_command("image_validate_xz", {{"imagePath", ""}}).out,
            error_line("IMAGE_MISSING", "Image does not exist: "));
  std::string missing = dir.file("gone.xz");
  EXPECT_EQ(test::run_command("image_extract_xz", {{"imagePath", missing}, {"outputPath", dir.file("o")}}).out,
            error_line("IMAGE_MISSING", "Image does not exist: " + missing));
  EXPECT_FALSE(test::file_exists(dir.file("o")));

  auto directory = test::run_command("image_validate_xz", {{"imagePath", dir.path()}});
  EXPECT_EQ(directory.response["errorCode"], "XZ_INVALID");
  auto no_dir = test::run_command(
      "image_extract_xz", {{"imagePath", fixture("check-crc64.xz")}, {"outputPath", dir.file("missing") + "/o.img"}});
  EXPECT_EQ(no_dir.response["errorCode"], "XZ_INVALID");
  EXPECT_NE(no_dir.response["errorMessage"].get<std::string>().find("(os error "), std::string::npos);
  EXPECT_FALSE(test::file_exists(dir.file("missing")));
}

TEST(XzCommands, ExtractRefusesToOverwriteItsOwnImage) {
  test::TempDir dir;
  std::string image = dir.file("image.xz");
  std::string original = test::read_file(fixture("check-crc64.xz"));
  test::write_file(image, original);
  auto run = test::run_command("image_extract_xz", {{"imagePath", image}, {"outputPath", image}});
  EXPECT_EQ(run.out,
            error_line("XZ_INVALID", "Output path is the image file itself; choose another outputPath: " + image));
  EXPECT_EQ(test::read_file(image), original);
}

TEST(VerifyHash, HashesTheTruncatedCountAndPrintsNoProgress) {
  test::TempDir dir;
  std::string path = dir.file("target.img");
  std::string data(9 * 1024 * 1024 + 7, 'q');
  data.replace(0, 10, "0123456789");
  test::write_file(path, data);

  auto part = test::run_command("verify_hash", {{"osDevicePath", path}, {"bytesTotal", 5.7}});
  ASSERT_EQ(part.lines.size(), 1u) << part.out;
  EXPECT_EQ(part.payload()["observedSha256"], sha_of("01234"));
  EXPECT_EQ(part.payload()["verifiedBytes"], 5);
  EXPECT_TRUE(part.payload()["speedBps"].is_number_unsigned());

  auto none = test::run_command("verify_hash", {{"osDevicePath", path}, {"bytesTotal", -1}});
  EXPECT_EQ(none.payload()["observedSha256"], sha_of(""));
  EXPECT_EQ(none.payload()["verifiedBytes"], 0);

  auto whole = test::run_command("verify_hash", {{"osDevicePath", path}, {"bytesTotal", 1e12}});
  ASSERT_EQ(whole.lines.size(), 1u);
  EXPECT_EQ(whole.payload()["observedSha256"], sha_of(data));
  EXPECT_EQ(whole.payload()["verifiedBytes"], data.size());
}

TEST(VerifyHash, FieldAndTargetErrors) {
  test::TempDir dir;
  EXPECT_EQ(test::run_command("verify_hash", {{"osDevicePath", "x"}, {"bytesTotal", "5"}}).out,
            error_line("UNKNOWN", "Missing bytesTotal payload field"));
  EXPECT_EQ(test::run_command("verify_hash", {{"bytesTotal", 5}, {"deviceId", "disk"}}).out,
            error_line("UNKNOWN", "Missing osDevicePath/deviceId payload field"));
  auto missing = test::run_command("verify_hash", {{"bytesTotal", 5}, {"osDevicePath", dir.file("none")}});
  EXPECT_EQ(missing.response["errorCode"], "DEVICE_DISCONNECTED");
}

TEST(VerifyHash, HoldsTheVolumeLocksOfTheDriveWhileHashing) {
  test::TempDir dir;
  // A file stands in for the drive the path opens.
  const std::string drive = "\\\\.\\PhysicalDrive3";
  std::string card = dir.file("card.img");
  test::write_file(card, "abc");
  test::FaultFileSystem files;
  files.redirect(drive, card);
  std::vector<std::string>& events = files.events();
  test::FakeVolumes volumes;
  volumes.add("\\\\?\\Volume{a}\\", {3});
  volumes.timeline = &events;
  ScopedVolumeSystem scoped_volumes(volumes);
  ScopedFileSystem scoped_files(files);
  test::FakeClock clock(std::chrono::milliseconds(1));

  WindowsHelperRequest request{"1", "s", "verify_hash", {{"osDevicePath", drive}, {"bytesTotal", 3}}};
  auto ok = verify_hash(request, clock);
  ASSERT_TRUE(ok.has_value()) << ok.error().message;
  EXPECT_EQ((*ok)["observedSha256"], "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  // The extents are read through a handle of its own; the locking handle
  // closes after the drive.
  const std::string volume = "\\\\?\\Volume{a}";
  const std::vector<std::string> probe = {"list", "open-r " + volume, "close " + volume + "\\"};
  const std::vector<std::string> lock = {"open-rw " + volume, "lock " + volume + "\\", "dismount " + volume + "\\"};
  auto locked_around = [&](std::vector<std::string> drive_events) {
    std::vector<std::string> all = probe;
    all.insert(all.end(), lock.begin(), lock.end());
    all.insert(all.end(), drive_events.begin(), drive_events.end());
    all.push_back("close " + volume + "\\");
    return all;
  };
  EXPECT_EQ(events, locked_around({"open exclusive-read " + drive, "close " + drive}));

  events.clear();
  files.fail_open(drive, OpenMode::kExclusiveRead, 2);
  auto gone = verify_hash(request, clock);
  ASSERT_FALSE(gone.has_value());
  EXPECT_EQ(gone.error().code, ErrorCode::kDeviceDisconnected);
  EXPECT_EQ(events, locked_around({"refuse exclusive-read " + drive}));

  events.clear();
  volumes.volumes[0].lock_default = 87;
  volumes.messages[87] = "The parameter is incorrect.";
  auto unlocked = verify_hash(request, clock);
  ASSERT_FALSE(unlocked.has_value());
  EXPECT_EQ(unlocked.error().code, ErrorCode::kUnmountFailed);
  EXPECT_NE(unlocked.error().message.find("The parameter is incorrect. (os error 87)"), std::string::npos);
  EXPECT_EQ(files.opens(drive), 1);  // the target was not opened this time
}

}  // namespace
}  // namespace dh
