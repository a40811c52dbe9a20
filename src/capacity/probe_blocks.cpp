#include "capacity/probe_blocks.h"

#include <algorithm>
#include <cstring>
#include <span>

#include "formats/little_endian.h"

namespace dh {
namespace {

// Block layout: magic [0, 8), run id [8, 24), offset [24, 32), block size
// [32, 36), zeros [36, 40), checksum [40, 48), filler from 48.
constexpr uint8_t kMagic[8] = {'d', 'h', 'p', 'r', 'o', 'b', 'e', '1'};
constexpr size_t kRunAt = 8;
constexpr size_t kOffsetAt = 24;
constexpr size_t kBlockAt = 32;
constexpr size_t kChecksumAt = 40;
constexpr size_t kFillerAt = 48;
constexpr size_t kBootSignatureAt = 510;

void put_le(uint8_t* at, uint64_t value, size_t bytes) {
  for (size_t i = 0; i < bytes; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}

// FNV-1a, 64 bits: enough to tell a block that changed from one that did not
// (nothing here guards against a forger).
uint64_t fnv1a(const uint8_t* data, size_t size, uint64_t hash = 0xcbf29ce484222325ull) {
  for (size_t i = 0; i < size; ++i) hash = (hash ^ data[i]) * 0x100000001b3ull;
  return hash;
}

uint64_t block_checksum(const uint8_t* block, size_t size) {
  uint64_t hash = fnv1a(block, kChecksumAt);
  return fnv1a(block + kFillerAt, size - kFillerAt, hash);
}

uint64_t splitmix64(uint64_t& state) {
  uint64_t z = (state += 0x9e3779b97f4a7c15ull);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
  return z ^ (z >> 31);
}

}  // namespace

uint32_t probe_block_size(uint32_t unit) { return std::max<uint32_t>(unit, 512); }

std::vector<uint64_t> probe_offsets(uint64_t length, uint32_t block, uint32_t unit, std::mt19937_64& jitter) {
  const uint64_t whole = length / unit * unit;
  if (whole < block) return {};
  const uint64_t last = whole - block;
  std::vector<uint64_t> offsets = {0};
  auto fits = [&](uint64_t offset) { return offset + block <= last; };
  for (uint64_t power = block; power != 0 && fits(power); power <<= 1) offsets.push_back(power);

  const uint64_t fixed = offsets.size() + 1;
  const uint64_t budget = kProbeWriteBudget / block;
  const uint64_t spread = budget > fixed ? std::min(kSpreadProbes, budget - fixed) : 0;
  if (spread > 0) {
    const uint64_t slice = last / spread;
    if (slice < block) {
      // Fewer blocks below the last probe than slices: probe them all.
      for (uint64_t offset = block; fits(offset); offset += block) offsets.push_back(offset);
    } else {
      std::uniform_int_distribution<uint64_t> within(0, slice - 1);
      for (uint64_t i = 0; i < spread; ++i) {
        uint64_t offset = (i * slice + within(jitter)) / block * block;
        if (fits(offset)) offsets.push_back(offset);
      }
    }
  }
  if (last > 0) offsets.push_back(last);
  std::sort(offsets.begin(), offsets.end());
  offsets.erase(std::unique(offsets.begin(), offsets.end()), offsets.end());
  return offsets;
}

std::vector<uint8_t> probe_block(const ProbeRunId& run, uint64_t offset, uint32_t block) {
  std::vector<uint8_t> bytes(block);
  uint64_t state = fnv1a(run.data(), run.size()) ^ (offset * 0xd6e8feb86659fd93ull);
  for (size_t at = kFillerAt; at < block; at += 8) {
    uint64_t word = splitmix64(state);
    put_le(&bytes[at], word, std::min<size_t>(8, block - at));
  }
  std::memcpy(bytes.data(), kMagic, sizeof kMagic);
  std::memcpy(&bytes[kRunAt], run.data(), run.size());
  put_le(&bytes[kOffsetAt], offset, 8);
  put_le(&bytes[kBlockAt], block, 4);
  bytes[kBootSignatureAt] = 0;
  bytes[kBootSignatureAt + 1] = 0;
  put_le(&bytes[kChecksumAt], block_checksum(bytes.data(), block), 8);
  return bytes;
}

std::optional<uint64_t> probe_signature(const ProbeRunId& run, const uint8_t* bytes, size_t size) {
  if (size < kBootSignatureAt + 2) return std::nullopt;
  if (std::memcmp(bytes, kMagic, sizeof kMagic) != 0) return std::nullopt;
  if (std::memcmp(bytes + kRunAt, run.data(), run.size()) != 0) return std::nullopt;
  std::span<const uint8_t> block(bytes, size);
  if (le_u32(block, kBlockAt) != size) return std::nullopt;
  if (le_u64(block, kChecksumAt) != block_checksum(bytes, size)) return std::nullopt;
  return le_u64(block, kOffsetAt);
}

ProbeVerdict judge_probes(const std::vector<uint64_t>& offsets, const std::vector<std::optional<uint64_t>>& seen,
                          uint32_t block, uint64_t length) {
  // Only the lowest bad probe counts, and every bad probe shows at a
  // location no higher than its own: one whose location reads back anything
  // but its own signature is bad there, and one whose signature turns up at a
  // lower location (it wrapped there) leaves that lower location, which lost
  // its own, bad first. So the locations alone give the verdict.
  size_t index = 0;
  while (index < offsets.size() && index < seen.size() && seen[index] == offsets[index]) ++index;
  ProbeVerdict verdict;
  if (index == offsets.size()) {
    verdict.usable_bytes = length;
    return verdict;
  }
  verdict.first_bad = index;
  verdict.usable_bytes = index == 0 ? 0 : offsets[index - 1] + block;
  return verdict;
}

}  // namespace dh
