// Byte buffers the tests build by hand: owned bytes (the code's own Bytes is
// a view, formats/mbr_fat.h) and little-endian writers for the structures the
// doubles hand back.
#pragma once

#include <cstddef>
#include <cstdint>
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

}  // namespace dh::test
