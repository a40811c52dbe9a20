// The pieces of a capacity probe that work on numbers and bytes alone: where
// the probe blocks go, what each one holds, and what the blocks read back say
// about the medium.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <random>
#include <vector>

namespace dh {

// Identifies one probe run, so that what an earlier run left on the medium
// never passes for this run's data.
using ProbeRunId = std::array<uint8_t, 16>;

// The most a probe writes, however large the device or its sectors.
inline constexpr uint64_t kProbeWriteBudget = 64ull * 1024 * 1024;
// How many probes are spread evenly over the capacity, besides offset 0, the
// powers of two and the last block (fewer when the budget or the device is
// too small for them).
inline constexpr uint64_t kSpreadProbes = 1024;

// The size of each probe block on a target whose transfers are whole
// multiples of `unit` (transfer_unit): one unit, and at least 512 bytes so
// that a signature fits.
uint32_t probe_block_size(uint32_t unit);

// The offsets to probe on a target of `length` bytes, ascending, none
// overlapping another: 0; every power of two from `block` on whose block
// ends before the last probe (the powers below `block` lie in the block at
// 0); the last block, at the last multiple of `unit` that leaves room for
// one block; and up to kSpreadProbes more (fewer when the write budget
// leaves no room), one in each of as many equal slices of the capacity, at a
// random multiple of `block` in its slice drawn from `jitter`. Every offset
// but the last is a multiple of `block` (so of `unit`). Empty when `length`
// holds no whole block.
std::vector<uint64_t> probe_offsets(uint64_t length, uint32_t block, uint32_t unit, std::mt19937_64& jitter);

// The `block` bytes written at `offset`: a magic text, the run id, the
// offset, the block size, a checksum over all the rest, and filler drawn
// from the run id and the offset, so that no two blocks of a run or of two
// runs are alike. Bytes 510 and 511 are zero in every block, so that none
// looks like a partition table or a boot sector (0x55 0xAA).
std::vector<uint8_t> probe_block(const ProbeRunId& run, uint64_t offset, uint32_t block);

// The offset of the probe whose block `bytes` holds, when they are a whole
// valid block of run `run` (magic, run id, block size and checksum all
// right); nothing for zeros, another run's data, garbage or a block that was
// torn or changed.
std::optional<uint64_t> probe_signature(const ProbeRunId& run, const uint8_t* bytes, size_t size);

struct ProbeVerdict {
  // The index of the lowest bad probe; nothing when every probe held.
  std::optional<size_t> first_bad;
  // From 0 to the end of the last probe that held below the first bad one;
  // `length` when every probe held.
  uint64_t usable_bytes = 0;
};

// Judges a probe run. `seen[i]` is the offset whose signature the block at
// `offsets[i]` (ascending) read back, nothing when it read no valid one.
//
// A probe is bad when its location reads back anything but its own
// signature: zeros, stale data, garbage, a failed checksum, or another
// probe's signature. When probe j's signature turns up at the location of a
// lower probe i, j's write landed on i's block: j has no block of its own and
// is bad too. Locations that show the same signature are aliases of one
// physical block, and only the lowest of them may be good: the probes are
// written from the highest offset down, so on a medium whose addresses alias
// the lowest location's write comes last and wins, and the higher aliases
// read back a foreign signature.
//
// Counterfeit controllers drop the address bits above the flash they have,
// so their addresses wrap at a power of two: there the probe at that power
// of two lands on the probe at 0 (and every higher power of two with it).
// Jittered probes above the wrap mostly land between probes and read back
// their own writes; it is the power-of-two probes that make the wrap
// visible.
ProbeVerdict judge_probes(const std::vector<uint64_t>& offsets, const std::vector<std::optional<uint64_t>>& seen,
                          uint32_t block, uint64_t length);

}  // namespace dh
