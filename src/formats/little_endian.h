// Little-endian fields of on-disk and on-wire structures, read byte by byte
// whatever the host's order. A byte beyond the buffer reads as 0, so a short
// buffer never reads out of bounds; callers that need the whole field check
// the size first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace dh {

inline uint8_t le_u8(std::span<const uint8_t> b, size_t off) { return off < b.size() ? b[off] : 0; }

// The sizeof(T) bytes at `off`, least significant first.
template <class T>
T le_uint(std::span<const uint8_t> b, size_t off) {
  T v = 0;
  for (size_t i = 0; i < sizeof(T); ++i) {
    if (off + i >= b.size() || off + i < off) break;
    v |= static_cast<T>(static_cast<T>(b[off + i]) << (8 * i));
  }
  return v;
}

inline uint16_t le_u16(std::span<const uint8_t> b, size_t off) { return le_uint<uint16_t>(b, off); }
inline uint32_t le_u32(std::span<const uint8_t> b, size_t off) { return le_uint<uint32_t>(b, off); }
inline uint64_t le_u64(std::span<const uint8_t> b, size_t off) { return le_uint<uint64_t>(b, off); }

}  // namespace dh
