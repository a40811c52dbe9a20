// What happens to a run when its standard output goes away: a closed pipe
// stops the helper at once; no standard output at all lets it finish.
#include <gtest/gtest.h>

#include <string>

#include "support/helper_child.h"
#include "support/test_support.h"

namespace dh {
namespace {

std::vector<std::string> write_request(const std::string& image, const std::string& target) {
  nlohmann::json request = {{"id", "w"},
                            {"sessionId", "s"},
                            {"command", "write_image"},
                            {"payload", {{"imagePath", image}, {"osDevicePath", target}, {"skipReadback", true}}}};
  return {"--request", request.dump()};
}

void make_image(const std::string& path, size_t mib) {
  std::string block(1 << 20, '\0');
  for (size_t i = 0; i < block.size(); i += 4096) block[i] = 'x';
  std::string data;
  for (size_t i = 0; i < mib; ++i) data += block;
  test::write_file(path, data);
}

// The target takes about 6 MB/s however fast the machine is: a 4 MiB chunk
// takes well over the 500 ms between progress lines, and the whole image
// would take 20 s, so progress lines keep coming while the test closes the
// pipe.
TEST(StdoutFaults, ClosedPipeStopsTheWriteAtOnce) {
  test::TempDir dir;
  const size_t mib = 128;
  std::string image = dir.file("image.img");
  make_image(image, mib);
  test::SlowTarget target;
  if (target.path().empty()) GTEST_SKIP() << target.error();

  test::HelperChild helper(write_request(image, target.path()), test::ChildOutput::kPipe);
  ASSERT_TRUE(helper.started()) << helper.error();
  // Wait for the first progress line, then walk away from the pipe.
  std::string first = helper.read_line();
  helper.close_output();
  auto status = helper.wait();
  target.stop();

  ASSERT_TRUE(status.has_value()) << "the helper must exit, not die of a signal or an exception";
  EXPECT_NE(*status, 0);
  auto line = nlohmann::json::parse(first, nullptr, false);
  ASSERT_TRUE(line.is_object()) << first;
  EXPECT_EQ(line["stage"], "WRITE");
  // It stopped at the next line it could not print, long before the end.
  EXPECT_GT(target.drained(), 0u);
  EXPECT_LT(target.drained(), (mib << 20) / 4);
}

TEST(StdoutFaults, NoStandardOutputLetsTheRunFinish) {
  test::TempDir dir;
  std::string image = dir.file("image.img");
  std::string target = dir.file("target.img");
  make_image(image, 8);
  test::write_file(target, "");

  test::HelperChild helper(write_request(image, target), test::ChildOutput::kNone);
  ASSERT_TRUE(helper.started()) << helper.error();
  auto status = helper.wait();
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(*status, 0);
  EXPECT_EQ(test::read_file(target), test::read_file(image));
}

}  // namespace
}  // namespace dh
