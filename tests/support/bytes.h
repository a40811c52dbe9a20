// Byte buffers the tests build by hand: owned bytes (the code's own Bytes is
// a view, formats/mbr_fat.h), little-endian writers for the structures the
// doubles hand back, and patterned contents for images and drives.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace dh::test {

using ByteVector = std::vector<uint8_t>;

// Stores `v` little-endian at `at`, growing `b` when it is shorter.
inline void put_u32(ByteVector& b, size_t at, uint32_t v) {
  if (b.size() < at + 4) b.resize(at + 4);
  for (size_t i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

inline void put_u64(ByteVector& b, size_t at, uint64_t v) {
  if (b.size() < at + 8) b.resize(at + 8);
  for (size_t i = 0; i < 8; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

// Deterministic bytes (xorshift32 from `seed`) that differ from sector to
// sector and from chunk to chunk, so that a block read, hashed or written at
// the wrong offset, twice or not at all changes the result.
inline ByteVector pattern(size_t size, uint32_t seed = 1) {
  ByteVector out(size);
  uint32_t x = seed * 2654435761u + 1;
  for (size_t i = 0; i < size; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    out[i] = static_cast<uint8_t>(x);
  }
  return out;
}

// The same bytes as text, for the tests that write files and compare contents.
inline std::string pattern_bytes(size_t size, uint32_t seed = 1) {
  ByteVector b = pattern(size, seed);
  return std::string(b.begin(), b.end());
}

}  // namespace dh::test
