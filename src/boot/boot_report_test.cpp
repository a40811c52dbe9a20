// verify_boot: the hash judgement, the structural items on real disk images,
// the echoed fields, the locks, and the command through the built helper.
#include <gtest/gtest.h>

#include <memory>

#include "boot/boot_report.h"
#include "platform/file.h"
#include "platform/volumes.h"
#include "support/fake_volumes.h"
#include "support/fault_file_system.h"
#include "support/test_support.h"

namespace dh {
namespace {

using nlohmann::json;

// Test constants: a start-up allocation failure would only abort the test run.
// NOLINTBEGIN(cert-err58-cpp)
const std::string kHash(64, 'a');
// NOLINTEND(cert-err58-cpp)

std::string fixture(const std::string& name) { return test::native_path(FIXTURE_DIR "/" + name); }

HandlerResult run_verify(const json& payload) {
  return handle_verify_boot(WindowsHelperRequest{"1", "s", "verify_boot", payload});
}

json report_for(const json& payload) {
  auto result = run_verify(payload);
  EXPECT_TRUE(result.has_value()) << (result ? "" : result.error().message);
  return result ? (*result)["report"] : json();
}

// Inspects an image with the checksum judgement skipped.
json inspect(const std::string& image) {
  return report_for({{"osDevicePath", fixture(image)}, {"skipChecksum", true}});
}

// "id:status" of every item, in order.
std::vector<std::string> items(const json& report) {
  std::vector<std::string> out;
  for (const auto& check : report["checks"]) {
    out.push_back(check["id"].get<std::string>() + ":" + check["status"].get<std::string>());
  }
  return out;
}

const json& item(const json& report, const std::string& id) {
  for (const auto& check : report["checks"]) {
    if (check["id"] == id) return check;
  }
  static const json none;
  ADD_FAILURE() << "no item " << id;
  return none;
}

TEST(VerifyBoot, IntactCardWithMatchingHashes) {
  const std::string path = fixture("pi.img");
  json report = report_for({{"osDevicePath", path},
                            {"expectedSha256", kHash},
                            {"observedSha256", kHash},
                            {"verifiedBytes", 4096},
                            {"imageBytes", 4096}});
  json expected_checks = json::parse(R"([
    {"critical":true,"details":{"checksumSkipped":false,"expectedSha256":"HASH","observedSha256":"HASH",
     "verifiedBytes":4096},"id":"image-hash","label":"Byte-for-byte image verification",
     "message":"Every byte written to the target matches the prepared Raspberry Pi OS image.","status":"passed"},
    {"critical":true,"details":{},"id":"mbr-signature","label":"Master boot record",
     "message":"MBR signature is present.","status":"passed"},
    {"critical":true,"details":{"bootPartitionType":"0xc","partitionCount":2,"rootPartitionType":"0x83"},
     "id":"partition-table","label":"Raspberry Pi partitions",
     "message":"Found a FAT boot partition and Linux root partition.","status":"passed"},
    {"critical":true,"details":{"partition":2,"sizeBytes":536871424},"id":"root-partition",
     "label":"Root filesystem partition",
     "message":"Linux root filesystem partition is present and large enough for Raspberry Pi OS.","status":"passed"},
    {"critical":true,"details":{"bytesPerSector":512,"partition":1,"sectorsPerCluster":1},"id":"boot-sector",
     "label":"Boot filesystem","message":"Boot partition has a readable FAT layout (FAT32).","status":"passed"},
    {"critical":false,"details":{"filesSeen":27,"missing":null},"id":"boot-files","label":"Raspberry Pi boot files",
     "message":"Boot partition contains Raspberry Pi firmware, kernel, and command-line files.","status":"passed"}
  ])");
  expected_checks[0]["details"]["expectedSha256"] = kHash;
  expected_checks[0]["details"]["observedSha256"] = kHash;
  EXPECT_EQ(report["checks"], expected_checks);
  report.erase("checks");
  EXPECT_EQ(report, (json{{"deviceId", path},
                          {"devicePath", path},
                          {"expectedSha256", kHash},
                          {"imageBytes", 4096},
                          {"limitations",
                           {"Host-side boot-readiness verifies the written target structure and Raspberry Pi boot "
                            "files; a desktop app cannot physically boot a Raspberry Pi without a connected Pi "
                            "hardware harness."}},
                          {"model", nullptr},
                          {"observedSha256", kHash},
                          {"outcome", "working"},
                          {"success", true},
                          {"targetLabel", nullptr},
                          {"targetOrdinal", nullptr},
                          {"verifiedBytes", 4096}}));
}

TEST(VerifyBoot, HashJudgement) {
  const std::string path = fixture("pi.img");
  struct Case {
    const char* what;
    json fields;
    const char* status;
  };
  std::string upper(64, 'A');
  const Case cases[] = {
      {"bytes differ",
       {{"expectedSha256", kHash}, {"observedSha256", kHash}, {"verifiedBytes", 1}, {"imageBytes", 2}},
       "failed"},
      {"case differs", {{"expectedSha256", kHash}, {"observedSha256", upper}, {"verifiedBytes", 1}}, "failed"},
      {"both empty", {{"verifiedBytes", 0}, {"imageBytes", 0}}, "failed"},
      {"image bytes absent", {{"expectedSha256", kHash}, {"observedSha256", kHash}, {"verifiedBytes", 7}}, "passed"},
      {"image bytes not a number",
       {{"expectedSha256", kHash}, {"observedSha256", kHash}, {"verifiedBytes", 7}, {"imageBytes", "9"}},
       "passed"},
      {"hash not a string", {{"expectedSha256", 5}, {"observedSha256", 5}}, "failed"},
      {"equal texts that are no digests", {{"expectedSha256", "x"}, {"observedSha256", "x"}}, "failed"},
      {"63 digits", {{"expectedSha256", kHash.substr(1)}, {"observedSha256", kHash.substr(1)}}, "failed"},
      {"65 digits", {{"expectedSha256", kHash + "a"}, {"observedSha256", kHash + "a"}}, "failed"},
      {"not hexadecimal",
       {{"expectedSha256", std::string(64, 'g')}, {"observedSha256", std::string(64, 'g')}},
       "failed"},
      {"upper-case digests", {{"expectedSha256", upper}, {"observedSha256", upper}}, "passed"},
      {"skip wins over a mismatch", {{"expectedSha256", kHash}, {"skipChecksum", true}}, "skipped"},
      {"skip needs JSON true", {{"skipChecksum", "true"}}, "failed"},
  };
  for (const auto& c : cases) {
    json payload = c.fields;
    payload["osDevicePath"] = path;
    json report = report_for(payload);
    const json& hash = report["checks"][0];
    EXPECT_EQ(hash["status"], c.status) << c.what;
    if (std::string(c.status) == "failed") {
      EXPECT_EQ(report["checks"].size(), 1u) << c.what;
      EXPECT_EQ(hash["message"], "The card contents do not match the prepared image.");
      EXPECT_EQ(report["success"], false) << c.what;
      EXPECT_EQ(report["outcome"], "failed") << c.what;
    } else {
      EXPECT_EQ(report["checks"].size(), 6u) << c.what;
      EXPECT_EQ(report["outcome"], "working") << c.what;
    }
    EXPECT_EQ(hash["critical"], std::string(c.status) != "skipped") << c.what;
  }

  json skipped = inspect("pi.img")["checks"][0];
  EXPECT_EQ(skipped["message"], "Byte-for-byte checksum is skipped until boot files are confirmed present.");
  EXPECT_EQ(skipped["details"],
            (json{{"checksumSkipped", true}, {"expectedSha256", ""}, {"observedSha256", ""}, {"verifiedBytes", 0}}));
  json defaults =
      report_for({{"osDevicePath", path}, {"expectedSha256", kHash}, {"observedSha256", kHash}, {"verifiedBytes", 7}});
  EXPECT_EQ(defaults["imageBytes"], 7);
}

TEST(VerifyBoot, StructuralFailuresStopTheInspection) {
  json no_signature = inspect("no-signature.img");
  EXPECT_EQ(items(no_signature), (std::vector<std::string>{"image-hash:skipped", "mbr-signature:failed"}));
  EXPECT_EQ(item(no_signature, "mbr-signature")["message"], "MBR signature is missing.");
  EXPECT_EQ(no_signature["success"], false);

  json no_root = inspect("no-root.img");
  EXPECT_EQ(items(no_root),
            (std::vector<std::string>{"image-hash:skipped", "mbr-signature:passed", "partition-table:failed"}));
  EXPECT_EQ(item(no_root, "partition-table")["message"],
            "Expected FAT boot and Linux root partitions were not both found.");
  EXPECT_EQ(item(no_root, "partition-table")["details"],
            (json{{"bootPartitionType", "0xc"}, {"partitionCount", 1}, {"rootPartitionType", nullptr}}));

  json gpt = inspect("gpt.img");
  EXPECT_EQ(item(gpt, "partition-table")["details"],
            (json{{"bootPartitionType", nullptr}, {"partitionCount", 1}, {"rootPartitionType", nullptr}}));
  EXPECT_EQ(gpt["outcome"], "failed");

  json corrupt = inspect("corrupt-boot-sector.img");
  EXPECT_EQ(items(corrupt).back(), "boot-sector:failed");
  EXPECT_EQ(item(corrupt, "boot-sector")["message"], "Boot partition does not have a readable FAT layout.");
  EXPECT_EQ(item(corrupt, "boot-sector")["details"],
            (json{{"bytesPerSector", 256}, {"partition", 1}, {"sectorsPerCluster", 1}}));
  EXPECT_EQ(corrupt["success"], false);
}

TEST(VerifyBoot, ReadFailuresBecomeMediaReadItems) {
  struct Case {
    const char* image;
    size_t items_before;
    const char* message;
  };
  for (const Case& c :
       {Case{"short-mbr.img", 1, "failed to fill whole buffer"}, Case{"mbr-only.img", 4, "failed to fill whole buffer"},
        Case{"no-data-region.img", 5, "failed to fill whole buffer"}}) {
    json report = inspect(c.image);
    ASSERT_EQ(report["checks"].size(), c.items_before + 1) << c.image;
    EXPECT_EQ(report["checks"].back(), (json{{"critical", true},
                                             {"details", json::object()},
                                             {"id", "boot-media-read"},
                                             {"label", "Boot media inspection"},
                                             {"message", c.message},
                                             {"status", "failed"}}))
        << c.image;
    EXPECT_EQ(report["success"], false) << c.image;
  }
  test::TempDir dir;
  json missing = report_for({{"osDevicePath", dir.file("absent.img")}, {"skipChecksum", true}});
  EXPECT_EQ(items(missing), (std::vector<std::string>{"image-hash:skipped", "boot-media-read:failed"}));
  std::string message = missing["checks"][1]["message"];
  EXPECT_TRUE(message.ends_with(" (os error 2)")) << message;
  EXPECT_GT(message.size(), std::string(" (os error 2)").size());
}

TEST(VerifyBoot, WarningsKeepTheVerdict) {
  json exact = inspect("root-exact.img");
  EXPECT_EQ(item(exact, "root-partition"),
            (json{{"critical", true},
                  {"details", {{"partition", 2}, {"sizeBytes", 536870912}}},
                  {"id", "root-partition"},
                  {"label", "Root filesystem partition"},
                  {"message", "Linux root filesystem partition is present but smaller than expected."},
                  {"status", "warning"}}));
  EXPECT_EQ(exact["checks"].size(), 6u);
  EXPECT_EQ(exact["success"], true);

  const std::pair<const char*, const char*> missing[] = {{"missing-config.img", "config.txt"},
                                                         {"missing-cmdline.img", "cmdline.txt"},
                                                         {"missing-start.img", "start*.elf"},
                                                         {"missing-fixup.img", "fixup*.dat"},
                                                         {"missing-kernel.img", "kernel*.img"}};
  for (auto [image, name] : missing) {
    json report = inspect(image);
    const json& files = item(report, "boot-files");
    EXPECT_EQ(files["status"], "warning") << image;
    EXPECT_EQ(files["critical"], false);
    EXPECT_EQ(files["details"], (json{{"filesSeen", 26}, {"missing", name}})) << image;
    EXPECT_EQ(files["message"], std::string("Boot file scan could not confirm expected file(s): ") + name +
                                    ". Byte-for-byte verification will continue before the card is marked ready.");
    EXPECT_EQ(report["outcome"], "working") << image;
  }

  const std::string all = "config.txt, cmdline.txt, start*.elf, fixup*.dat, kernel*.img";
  json empty = inspect("empty-boot.img");
  EXPECT_EQ(item(empty, "boot-files")["details"], (json{{"filesSeen", 0}, {"missing", all}}));
  EXPECT_EQ(item(empty, "boot-files")["message"],
            "Boot file scan could not confirm expected file(s): " + all +
                ". Byte-for-byte verification will continue before the card is marked ready.");
  // Names after an end marker, or beyond 256 clusters, are not seen.
  EXPECT_EQ(item(inspect("end-marker.img"), "boot-files")["details"], (json{{"filesSeen", 20}, {"missing", all}}));
  EXPECT_EQ(item(inspect("long-chain.img"), "boot-files")["details"], (json{{"filesSeen", 4095}, {"missing", all}}));
  // A looping chain and a lower-case short name still give a passing card.
  EXPECT_EQ(item(inspect("loop.img"), "boot-files")["status"], "passed");
  EXPECT_EQ(item(inspect("lowercase.img"), "boot-files")["status"], "passed");
}

TEST(VerifyBoot, EchoedFields) {
  const std::string path = fixture("pi.img");
  json base = {{"osDevicePath", path}, {"skipChecksum", true}};
  json given = base;
  given.update(json{{"targetLabel", " SD Card "},
                    {"model", "Reader"},
                    {"deviceId", "id-7"},
                    {"devicePath", "D:"},
                    {"targetOrdinal", 2}});
  json report = report_for(given);
  EXPECT_EQ(report["targetLabel"], " SD Card ");
  EXPECT_EQ(report["model"], "Reader");
  EXPECT_EQ(report["deviceId"], "id-7");
  EXPECT_EQ(report["devicePath"], "D:");
  EXPECT_EQ(report["targetOrdinal"], 2);
  for (const json& ordinal : {json(-1), json(2.5), json("2"), json(nullptr)}) {
    json payload = base;
    payload["targetOrdinal"] = ordinal;
    EXPECT_EQ(report_for(payload)["targetOrdinal"], nullptr) << ordinal;
  }
  json wrong_types = base;
  wrong_types.update(json{{"targetLabel", 1}, {"model", false}, {"deviceId", 3}});
  report = report_for(wrong_types);
  EXPECT_EQ(report["targetLabel"], nullptr);
  EXPECT_EQ(report["model"], nullptr);
  EXPECT_EQ(report["deviceId"], path);
  EXPECT_EQ(report["devicePath"], path);
}

TEST(VerifyBoot, TargetErrors) {
  for (const json& payload : {json::object(), json{{"deviceId", "disk4"}}, json{{"osDevicePath", 3}}}) {
    auto result = run_verify(payload);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error(), (HelperError{ErrorCode::kUnknown, "Missing osDevicePath/deviceId payload field"}));
  }
}

TEST(VerifyBoot, HoldsTheVolumeLocksWhileTheDriveIsRead) {
  // One volume on disk 3; the drive is the Pi image.
  const std::string drive = "\\\\.\\PhysicalDrive3";
  test::FaultFileSystem drives;
  drives.redirect(drive, fixture("pi.img"));
  test::FakeVolumes volumes;
  volumes.add("\\\\?\\Volume{1}\\", {3});
  volumes.timeline = &drives.events();
  ScopedVolumeSystem use_volumes(volumes);
  ScopedFileSystem use_drives(drives);

  json report = report_for({{"deviceId", drive}, {"skipChecksum", true}});
  EXPECT_EQ(report["outcome"], "working");
  EXPECT_EQ(report["deviceId"], drive);
  EXPECT_EQ(report["devicePath"], drive);
  EXPECT_EQ(drives.opened(), (std::vector<std::pair<std::string, OpenMode>>{{drive, OpenMode::kSharedRead}}));
  // Locked before the drive opens, the drive closed, and only then the
  // locking handle closed; the extents were read through a handle of its own.
  const std::string volume = "\\\\?\\Volume{1}";
  EXPECT_EQ(drives.events(),
            (std::vector<std::string>{"list", "open-r " + volume, "close " + volume + "\\", "open-rw " + volume,
                                      "lock " + volume + "\\", "dismount " + volume + "\\", "open shared-read " + drive,
                                      "close " + drive, "close " + volume + "\\"}));
  EXPECT_EQ(volumes.open_handles, 0);

  test::FakeVolumes refusing;
  refusing.add("\\\\?\\Volume{1}\\", {3}).open_write_error = 5;
  refusing.messages[5] = "Access is denied.";
  ScopedVolumeSystem use_refusing(refusing);
  auto result = run_verify({{"deviceId", "PhysicalDrive3"}, {"skipChecksum", true}});
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error(),
            (HelperError{ErrorCode::kUnmountFailed,
                         "Unable to open mounted volume \\\\?\\Volume{1}\\: Access is denied. (os error 5)"}));
}

TEST(VerifyBootCommand, ImageFileAsTargetThroughTheHelper) {
  const std::string path = fixture("pi.img");
  auto run = test::run_command("verify_boot", {{"osDevicePath", path},
                                               {"expectedSha256", kHash},
                                               {"observedSha256", kHash},
                                               {"verifiedBytes", 512},
                                               {"targetOrdinal", 1}});
  EXPECT_EQ(run.exit_code, 0);
  ASSERT_EQ(run.lines.size(), 1u) << run.out;  // no progress lines
  EXPECT_EQ(run.response["ok"], true);
  const json& report = run.payload()["report"];
  EXPECT_EQ(items(report),
            (std::vector<std::string>{"image-hash:passed", "mbr-signature:passed", "partition-table:passed",
                                      "root-partition:passed", "boot-sector:passed", "boot-files:passed"}));
  EXPECT_EQ(report["outcome"], "working");
  EXPECT_EQ(report["targetOrdinal"], 1);
  // Keys in byte order, the item's keys too.
  EXPECT_NE(run.out.find("{\"report\":{\"checks\":[{\"critical\":true,\"details\":{\"checksumSkipped\":false,"),
            std::string::npos);

  auto failing = test::run_command(
      "verify_boot",
      {{"osDevicePath", fixture("no-signature.img")}, {"expectedSha256", kHash}, {"observedSha256", kHash}});
  EXPECT_EQ(items(failing.payload()["report"]),
            (std::vector<std::string>{"image-hash:passed", "mbr-signature:failed"}));
  EXPECT_EQ(failing.payload()["report"]["outcome"], "failed");
}

}  // namespace
}  // namespace dh
