// The rule a disk writer must keep, as a property over random runs of
// write_image: an answer without error means the target's first bytesWritten
// bytes are the (decoded) image's and sourceSha256 is their digest; an answer
// with a readback carries the digest of what the target holds in that range.
// The suite's fixed-seed table and the fuzz target drive the same runner.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace dh::test {

struct WriteScenario {
  // The image file: plain bytes, or their .xz compression in one block or in
  // blocks that give their sizes (decoded on several threads).
  enum class Image { kPlain, kXzOneBlock, kXzBlocks };
  Image image = Image::kPlain;
  // Offsets into the image file (taken modulo its size) whose byte is flipped.
  std::vector<uint64_t> damage;
  // The decompress field: absent, or this value ("xz", or one to be refused).
  std::optional<std::string> decompress;
  std::optional<uint64_t> bytes_total;
  bool skip_readback = false;
  // The raw drive: its sector size and length in bytes.
  uint32_t sector_size = 512;
  uint64_t device_length = 0;
  // Faults, by call number on their handle (negative: none).
  int fail_image_read = -1;
  int fail_target_write = -1;
  bool fail_flush = false;
};

// The decoded image every scenario writes (3 MiB).
const std::string& property_image();
// The bytes of the image file a scenario's `image` and `damage` give.
std::string image_file_bytes(const WriteScenario& scenario);

// Runs the scenario against the fault-injecting file system with a raw drive
// in a fresh folder; returns what broke the property, or nothing.
std::optional<std::string> check_write_property(const WriteScenario& scenario);

// A scenario drawn from `next`, a source of random 64-bit values: every
// option that changes write_image's path, damaged blocks and faults at
// random places.
template <class Next>
WriteScenario random_write_scenario(Next&& next);

// A readable one-line description, for failure messages.
std::string describe(const WriteScenario& scenario);

template <class Next>
WriteScenario random_write_scenario(Next&& next) {
  WriteScenario s;
  const uint64_t size = property_image().size();
  s.image = static_cast<WriteScenario::Image>(next() % 3);
  switch (next() % 4) {
    case 0: break;
    case 3: s.decompress = next() % 2 ? "XZ" : "zst"; break;
    default: s.decompress = "xz"; break;  // half of the runs
  }
  switch (next() % 5) {
    case 0: break;
    case 1: s.bytes_total = size; break;
    case 2: s.bytes_total = (next() % (size / (1 << 20) + 1)) << 20; break;  // whole MiB below the end
    case 3: s.bytes_total = next() % size; break;
    default: s.bytes_total = size + next() % 8192; break;
  }
  const uint64_t damaged = next() % 3;  // 0, 1 or 2 flipped bytes
  for (uint64_t i = 0; i < damaged; ++i) s.damage.push_back(next());
  s.skip_readback = next() % 2 == 0;
  s.sector_size = next() % 2 ? 512 : 4096;
  // Mostly room to spare; sometimes exactly the image, sometimes too small.
  switch (next() % 4) {
    case 0: s.device_length = size - size % s.sector_size; break;
    case 1: s.device_length = size - size % s.sector_size - s.sector_size; break;
    default: s.device_length = (size / s.sector_size + 1 + next() % 64) * s.sector_size; break;
  }
  // A source that runs dry gives zeros: zero means no fault.
  if (next() % 4 == 1) s.fail_image_read = static_cast<int>(next() % 8);
  if (next() % 4 == 1) s.fail_target_write = static_cast<int>(next() % 8);
  s.fail_flush = next() % 8 == 1;
  return s;
}

}  // namespace dh::test
