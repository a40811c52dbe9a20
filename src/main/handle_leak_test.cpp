// Every command, run in-process through its failure paths, must give back
// every file, device and process handle it took.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "commands/dispatch.h"
#include "support/test_support.h"

namespace dh {
namespace {

using nlohmann::json;

TEST(HandleLeaks, FailurePathsCloseEverything) {
  test::TempDir dir;
  std::string garbage = dir.file("garbage.bin");
  test::write_file(garbage, std::string(3000, 'g'));
  std::string empty = dir.file("empty.bin");
  test::write_file(empty, "");
  std::string small = dir.file("small.img");
  test::write_file(small, std::string(1024, '\x01'));
  std::string missing = dir.file("missing.img");
  std::string no_dir_output = dir.file("no-such-dir/out.img");
  std::string folder = dir.path();

  test::FakePowerShell ps;
  ps.answer(-1, "not json", "", 0);

  const std::vector<std::pair<std::string, json>> requests = {
      {"health", nullptr},
      {"list_disks", nullptr},
      {"image_validate_xz", {{"imagePath", garbage}}},
      {"image_validate_xz", {{"imagePath", folder}}},
      {"image_uncompressed_size", {{"imagePath", empty}}},
      {"image_extract_xz", {{"imagePath", garbage}, {"outputPath", dir.file("out.img")}}},
      {"image_extract_xz", {{"imagePath", garbage}, {"outputPath", no_dir_output}}},
      {"image_extract_xz", {{"imagePath", garbage}, {"outputPath", garbage}}},
      {"prepare_disk", {{"osDevicePath", "E:"}}},
      {"prepare_disk", {{"deviceId", "PhysicalDrive77"}}},
      {"finalize_disk", {{"deviceId", "PhysicalDrive77"}}},
      {"detach_target", {{"deviceId", "PhysicalDrive77"}}},
      {"read_sectors", {{"osDevicePath", small}, {"startLba", 1}, {"sectorCount", 2}}},
      {"read_sectors", {{"osDevicePath", small}, {"startLba", 36028797018963968.0}, {"sectorCount", 1}}},
      {"read_sectors", {{"osDevicePath", missing}, {"startLba", 0}, {"sectorCount", 1}}},
      {"verify_hash", {{"osDevicePath", missing}, {"bytesTotal", 10}}},
      {"verify_hash", {{"osDevicePath", folder}, {"bytesTotal", 10}}},
      {"write_image", {{"imagePath", missing}, {"osDevicePath", small}}},
      {"write_image", {{"imagePath", small}, {"osDevicePath", missing}}},
      {"write_image", {{"imagePath", small}, {"osDevicePath", empty}, {"bytesTotal", 4096}}},
      {"classify_mismatch", {{"imagePath", small}, {"osDevicePath", empty}, {"bytesTotal", 1024}}},
      {"classify_mismatch", {{"imagePath", missing}, {"osDevicePath", small}, {"bytesTotal", 1024}}},
      {"verify_boot", {{"osDevicePath", garbage}, {"skipChecksum", true}}},
      {"verify_boot", {{"osDevicePath", missing}, {"skipChecksum", true}}},
      {"apply_customization", {{"deviceId", "PhysicalDrive77"}, {"cmdlineAppend", "x"}}},
      {"probe_capacity", {{"osDevicePath", missing}}},
      {"probe_capacity", {{"osDevicePath", empty}}},
      {"cancel_task", nullptr},
  };

  // Run everything once first: one-time initialisation (library state,
  // cached handles of the runtime) must not count as a leak.
  auto run_all = [&] {
    for (const auto& [command, payload] : requests) {
      WindowsHelperRequest request{"leak", "s", command, payload};
      (void)dispatch(request);
    }
  };
  run_all();
  const int before = test::open_handle_count();
  ASSERT_GT(before, 0) << "the process's handles cannot be counted here";
  run_all();
  run_all();
  EXPECT_EQ(test::open_handle_count(), before);
}

}  // namespace
}  // namespace dh
