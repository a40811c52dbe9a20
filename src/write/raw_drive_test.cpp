// Every command that reads or writes a target, on a double with the rules of
// a Windows raw drive (FaultFileSystem::raw_drive): transfers of whole
// sectors at sector boundaries and nothing past the last sector, on drives of
// 512- and of 4096-byte sectors. Plain files and Linux block devices forgive
// both, so only this double shows whether the helper keeps them.
#include <gtest/gtest.h>

#include <functional>

#include "base/text.h"
#include "progress/progress.h"
#include "support/fake_volumes.h"
#include "support/fault_file_system.h"
#include "support/test_support.h"
#include "support/write_test_util.h"
#include "write/first_difference.h"

namespace dh {
namespace {

using nlohmann::json;

constexpr const char* kDrive = "\\\\.\\PhysicalDrive6";
constexpr uint64_t kMiB = 1024 * 1024;

std::string hex(const std::string& bytes) {
  return hex_encode(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

// Every member of `expected` is in `actual` with that value; objects are
// compared the same way, member by member.
void expect_members(const json& actual, const json& expected, const std::string& where) {
  if (!expected.is_object() || !actual.is_object()) {
    EXPECT_EQ(actual, expected) << where;
    return;
  }
  for (const auto& [key, value] : expected.items()) {
    if (!actual.contains(key)) {
      ADD_FAILURE() << where << "." << key << " is missing in " << actual.dump().substr(0, 400);
      continue;
    }
    expect_members(actual[key], value, where + "." + key);
  }
}

json ok(const json& payload) { return {{"ok", true}, {"payload", payload}}; }
json error(const std::string& code, const std::string& message) {
  return {{"ok", false}, {"errorCode", code}, {"errorMessage", message}};
}

class RawDrive : public ::testing::TestWithParam<uint32_t> {};

TEST_P(RawDrive, EveryCommandKeepsWholeSectorsAndStopsAtTheEnd) {
  const uint32_t sector = GetParam();
  test::TempDir dir;
  const std::string backing = dir.file("drive.bin");

  // A used card of 6 MiB, and a card holding the Pi image (its size made a
  // whole number of sectors, as a drive's is).
  const std::string used = test::pattern_bytes(6 * kMiB, 9);
  const std::string pi = test::read_file(test::fixture("pi.img"));
  std::string pi_drive = pi;
  pi_drive.resize((pi.size() + sector - 1) / sector * sector, '\0');

  const std::string odd = test::pattern_bytes(5 * kMiB + 1001, 3);  // ends inside a sector
  test::write_file(dir.file("odd.img"), odd);
  const uint64_t n = odd.size();
  // What a write of `bytes` leaves on the used card: the bytes, zeros to the
  // end of their last sector, the card's old bytes behind, except in the
  // first and the last MiB, where an old partition table would be: zeros.
  auto written = [&](const std::string& bytes) {
    std::string after = used;
    uint64_t padded = (bytes.size() + sector - 1) / sector * sector;
    uint64_t tail = std::max<uint64_t>(used.size() - kMiB, padded);
    after.replace(0, kMiB, kMiB, '\0');
    after.replace(tail, used.size() - tail, used.size() - tail, '\0');
    after.replace(0, padded, bytes + std::string(padded - bytes.size(), '\0'));
    return after;
  };
  const std::string odd_after = written(odd);
  const std::string prefix = odd.substr(0, 4 * kMiB + 777);
  const std::string prefix_after = written(prefix);
  // The Pi image decoded from its .xz, bounded to end inside a sector.
  const std::string decoded = pi.substr(0, 5 * kMiB + 1001);
  const std::string decoded_after = written(decoded);

  std::string same = used.substr(0, used.size() - 333);
  test::write_file(dir.file("same.img"), same);
  std::string differs = used;
  differs[4 * kMiB + 77] = static_cast<char>(differs[4 * kMiB + 77] ^ 0x10);
  test::write_file(dir.file("differs.img"), differs);
  const std::string longer = used + test::pattern_bytes(1000, 4);
  test::write_file(dir.file("longer.img"), longer);
  test::write_file(dir.file("pi-longer.img"), pi_drive + std::string(4096, '\x11'));

  auto command = [](const char* name, json payload) {
    return [name, payload]() mutable {
      payload["osDevicePath"] = kDrive;
      ScopedProgressCapture quiet;
      return test::run_command_here(name, payload).response;
    };
  };
  auto difference = [&](const std::string& image, uint64_t count) {
    return [image, count]() -> json {
      auto found = find_first_difference(image, CheckedTarget::as_found(kDrive), count);
      if (!found) return {{"errorCode", found.error().code}, {"errorMessage", found.error().message}};
      return *found ? (*found)->to_json() : json("none");
    };
  };

  struct Case {
    const char* what;
    const std::string* drive_before;
    std::function<json()> run;
    json expected;
    const std::string* drive_after;  // null: left as it was
  };
  const Case cases[] = {
      {"write_image of an odd-sized image, read back", &used,
       command("write_image", {{"imagePath", dir.file("odd.img")}}),
       ok({{"bytesWritten", n},
           {"sourceSha256", test::sha256_hex(odd)},
           {"observedSha256", test::sha256_hex(odd)},
           {"verifiedBytes", n},
           {"verifyAttempts", 1},
           {"mismatch", nullptr}}),
       &odd_after},
      {"write_image of an odd-sized image, no readback", &used,
       command("write_image", {{"imagePath", dir.file("odd.img")}, {"skipReadback", true}}),
       ok({{"bytesWritten", n}, {"sourceSha256", test::sha256_hex(odd)}, {"skippedReadback", true}}), &odd_after},
      {"write_image with bytesTotal below the image", &used,
       command("write_image", {{"imagePath", dir.file("odd.img")}, {"bytesTotal", prefix.size()}}),
       ok({{"bytesWritten", prefix.size()},
           {"sourceSha256", test::sha256_hex(prefix)},
           {"observedSha256", test::sha256_hex(prefix)},
           {"verifiedBytes", prefix.size()},
           {"verifyAttempts", 1}}),
       &prefix_after},
      {"write_image from .xz with bytesTotal below the decoded size, read back", &used,
       command(
           "write_image",
           {{"imagePath", test::fixture("pi-blocks.img.xz")}, {"decompress", "xz"}, {"bytesTotal", decoded.size()}}),
       ok({{"bytesWritten", decoded.size()},
           {"sourceSha256", test::sha256_hex(decoded)},
           {"observedSha256", test::sha256_hex(decoded)},
           {"verifiedBytes", decoded.size()},
           {"verifyAttempts", 1}}),
       &decoded_after},
      {"write_image with bytesTotal beyond the image", &used,
       command("write_image", {{"imagePath", dir.file("odd.img")}, {"bytesTotal", 5 * kMiB + 4000}}),
       ok({{"bytesWritten", n},
           {"observedSha256", test::sha256_hex(odd_after.substr(0, 5 * kMiB + 4000))},
           {"verifiedBytes", 5 * kMiB + 4000},
           {"verifyAttempts", 2},
           {"mismatch", {{"offset", n}, {"expectedSampleHex", ""}, {"observedSampleHex", ""}}}}),
       &odd_after},
      {"write_image with bytesTotal beyond the drive's end", &used,
       command("write_image", {{"imagePath", dir.file("odd.img")}, {"bytesTotal", 8 * kMiB}}),
       ok({{"bytesWritten", n},
           {"observedSha256", test::sha256_hex(odd_after)},
           {"verifiedBytes", used.size()},
           {"verifyAttempts", 2},
           {"mismatch", {{"offset", n}, {"expectedSampleHex", ""}, {"observedSampleHex", ""}}}}),
       &odd_after},
      {"verify_hash of a range ending inside the last 4 MiB", &used,
       command("verify_hash", {{"bytesTotal", used.size() - 100}}),
       ok({{"observedSha256", test::sha256_hex(used.substr(0, used.size() - 100))},
           {"verifiedBytes", used.size() - 100}}),
       nullptr},
      {"verify_hash past the drive's end", &used, command("verify_hash", {{"bytesTotal", used.size() + 4096}}),
       ok({{"observedSha256", test::sha256_hex(used)}, {"verifiedBytes", used.size()}}), nullptr},
      {"find_first_difference over an odd count, no difference", &used, difference(dir.file("same.img"), same.size()),
       "none", nullptr},
      {"find_first_difference at an odd offset",
       &used,
       difference(dir.file("differs.img"), used.size() - 5),
       {{"offset", 4 * kMiB + 77},
        {"expectedSampleHex", hex(differs.substr(4 * kMiB + 77, 32))},
        {"observedSampleHex", hex(used.substr(4 * kMiB + 77, 32))}},
       nullptr},
      {"find_first_difference past the drive's end",
       &used,
       difference(dir.file("longer.img"), longer.size()),
       {{"offset", used.size()}, {"expectedSampleHex", hex(longer.substr(used.size(), 32))}, {"observedSampleHex", ""}},
       nullptr},
      {"classify_mismatch over an odd bytesTotal", &pi_drive,
       command("classify_mismatch", {{"imagePath", test::fixture("pi.img")}, {"bytesTotal", pi.size() - 7}}),
       ok({{"safe", true}, {"metadataDiffBytes", 0}}), nullptr},
      {"classify_mismatch past the drive's end", &pi_drive,
       command("classify_mismatch", {{"imagePath", dir.file("pi-longer.img")}, {"bytesTotal", pi_drive.size() + 512}}),
       error("DEVICE_DISCONNECTED", "failed to fill whole buffer"), nullptr},
      {"read_sectors of 512-byte sectors inside a drive sector", &pi_drive,
       command("read_sectors", {{"startLba", 1}, {"sectorCount", 2}}), ok({{"dataHex", hex(pi.substr(512, 1024))}}),
       nullptr},
      {"read_sectors past the drive's end", &pi_drive,
       command("read_sectors", {{"startLba", pi_drive.size() / 512 - 1}, {"sectorCount", 2}}),
       error("READ_FAILED", "failed to fill whole buffer"), nullptr},
      {"verify_boot", &pi_drive, command("verify_boot", {{"skipChecksum", true}}),
       ok({{"report", {{"outcome", "working"}, {"success", true}}}}), nullptr},
  };

  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.what) + ", " + std::to_string(sector) + "-byte sectors");
    test::write_file(backing, *c.drive_before);
    test::FaultFileSystem fs;
    fs.raw_drive(kDrive, backing, sector, c.drive_before->size());
    test::FakeVolumes volumes;
    volumes.add("\\\\?\\Volume{boot}\\", {6});
    ScopedFileSystem scoped_fs(fs);
    ScopedVolumeSystem scoped_volumes(volumes);

    expect_members(c.run(), c.expected, "answer");
    EXPECT_EQ(fs.open_handles(), 0);
    const std::string after = test::read_file(backing);
    EXPECT_EQ(after.size(), c.drive_before->size());
    EXPECT_TRUE(after == (c.drive_after != nullptr ? *c.drive_after : *c.drive_before))
        << "the drive holds other bytes than the image, its padding and what was there";
  }
}

INSTANTIATE_TEST_SUITE_P(SectorSizes, RawDrive, ::testing::Values(512u, 4096u));

}  // namespace
}  // namespace dh
