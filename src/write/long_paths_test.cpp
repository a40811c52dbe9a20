// Every path the helper opens works beyond MAX_PATH (260 characters): the
// image, the extracted output and its temporary file beside it, and a target
// given as a file path, through the built helper from extraction to the boot
// check.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/file.h"
#include "support/test_support.h"
#include "support/write_test_util.h"

namespace dh {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

// `path` as the test's own file calls take it at any length.
fs::path any_length(const std::string& path) {
  std::string form = test::on_windows() ? extended_length_path(path) : path;
  return fs::path(std::u8string(form.begin(), form.end()));
}

TEST(LongPaths, EveryCommandOpensPathsBeyondMaxPath) {
  test::TempDir dir;
  const char separator = test::on_windows() ? '\\' : '/';
  std::string deep = dir.path();
  for (char c = 'a'; deep.size() <= 300; ++c) deep += separator + std::string(60, c);
  fs::create_directories(any_length(deep));
  const std::string xz = deep + separator + "pi.img.xz";
  const std::string image = deep + separator + "pi.img";
  const std::string target = deep + separator + "target.img";
  fs::copy_file(any_length(test::fixture("pi.img.xz")), any_length(xz));
  { std::ofstream(any_length(target)); }
  const std::string sha = test::read_file(test::fixture("pi.img.sha256")).substr(0, 64);
  const uint64_t size = fs::file_size(any_length(test::fixture("pi.img")));

  struct Step {
    const char* command;
    json payload;
    const char* key;  // a payload member the answer must carry
    json value;       // and its value, unless null
  };
  const Step steps[] = {
      {"image_validate_xz", {{"imagePath", xz}}, "valid", true},
      {"image_uncompressed_size", {{"imagePath", xz}}, "uncompressedBytes", size},
      {"image_extract_xz", {{"imagePath", xz}, {"outputPath", image}}, "sha256", sha},
      {"write_image", {{"imagePath", image}, {"osDevicePath", target}}, "observedSha256", sha},
      {"verify_hash", {{"osDevicePath", target}, {"bytesTotal", size}}, "observedSha256", sha},
      {"read_sectors", {{"osDevicePath", target}, {"startLba", 0}, {"sectorCount", 1}}, "dataHex", nullptr},
      {"classify_mismatch", {{"imagePath", image}, {"osDevicePath", target}, {"bytesTotal", size}}, "message", nullptr},
      {"verify_boot", {{"osDevicePath", target}, {"expectedSha256", sha}, {"observedSha256", sha}}, "report", nullptr},
  };
  for (const Step& step : steps) {
    auto run = test::run_command(step.command, step.payload);
    EXPECT_EQ(run.response["ok"], true) << step.command << ": " << run.out;
    ASSERT_TRUE(run.payload().contains(step.key)) << step.command << ": " << run.out;
    if (!step.value.is_null()) {
      EXPECT_EQ(run.payload()[step.key], step.value) << step.command;
    }
  }
  std::error_code ec;
  fs::remove_all(any_length(dir.path()), ec);
}

}  // namespace
}  // namespace dh
