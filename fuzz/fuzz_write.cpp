// libFuzzer target: write_image as a property. The input chooses a run (the
// image plain or .xz in one block or many, bytes flipped in it, the
// decompress value, bytesTotal below, at or beyond the image, skipReadback,
// the drive's sector size and length, read, write and flush failures at
// chosen calls); the run goes through the fault-injecting file system onto a
// raw-drive double. An answer without error whose target does not hold the
// image's bytes it reports, or whose digests are not of those bytes, aborts.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>

#include "support/write_property.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  // Each choice takes one byte, so libFuzzer's mutations move one choice at a
  // time; an exhausted input reads as zeros.
  auto next = [&input] { return static_cast<uint64_t>(input.ConsumeIntegral<uint8_t>()) * 0x9E3779B97F4A7C15ull >> 8; };
  dh::test::WriteScenario scenario = dh::test::random_write_scenario(next);
  if (auto broken = dh::test::check_write_property(scenario)) {
    std::fprintf(stderr, "write_image broke its promise: %s\n  in: %s\n", broken->c_str(),
                 dh::test::describe(scenario).c_str());
    std::abort();
  }
  return 0;
}
