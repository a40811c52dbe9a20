// The disk writer's first rule as a property: over random runs of write_image
// (damaged blocks, read, write and flush failures, every option that changes
// its path), an answer without error means the target holds exactly the
// image's bytes it reports, with their digest. fuzz/fuzz_write drives the same
// runner with libFuzzer's choices.
#include <gtest/gtest.h>

#include <random>

#include "support/write_property.h"

namespace dh {
namespace {

using test::WriteScenario;

TEST(WriteProperty, NoAnswerCallsABadCardGood) {
  // The fault that once passed: a byte flipped in the stored (incompressible)
  // data at the end of the last block, which only the block's check can tell,
  // and a bytesTotal that stops the write exactly where the image ends,
  // before that check. In one block and in many.
  std::vector<WriteScenario> scenarios;
  for (auto image : {WriteScenario::Image::kXzOneBlock, WriteScenario::Image::kXzBlocks}) {
    WriteScenario known;
    known.image = image;
    known.damage = {test::image_file_bytes(known).size() - 1000};
    known.decompress = "xz";
    known.bytes_total = test::property_image().size();
    known.device_length = 4 << 20;
    scenarios.push_back(known);
  }

  std::mt19937_64 random(20261210);
  for (int i = 0; i < 60; ++i) scenarios.push_back(test::random_write_scenario([&] { return random(); }));
  for (const WriteScenario& s : scenarios) {
    auto broken = test::check_write_property(s);
    EXPECT_FALSE(broken.has_value()) << *broken << "\n  in: " << test::describe(s);
  }
}

}  // namespace
}  // namespace dh
