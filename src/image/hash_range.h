// SHA-256 of the first bytes of a file or raw drive, through a new exclusive
// handle.
#pragma once

#include <cstdint>
#include <string>

#include "decode/sha256.h"
#include "progress/progress.h"
#include "protocol/helper_error.h"
#include "rawdisk/raw_access.h"

namespace dh {

struct RangeHash {
  std::string sha256;  // 64 lower-case hex digits
  uint64_t bytes = 0;  // bytes hashed; fewer than asked when the target ends first
  uint64_t speed = 0;  // bytes per second, 0.001 s floor
};

// Hashes at most `byte_count` bytes from offset 0 of `path`, reading 4 MiB at
// a time and never past the count (on a device, never past the sector that
// holds its last byte, nor past the device's end: a device shorter than the
// count gives fewer bytes, not an error). Reports "VERIFY" progress lines
// (start, rate-limited, end) against `byte_count` with `message` through
// `progress`, whose clock times the hash; a silent one prints nothing. The
// next 4 MiB are read on a second thread while the last are hashed; progress
// lines come from the calling thread, and the thread is joined before it
// returns. Errors: a failed open through map_raw_disk_error; a failed seek
// or read as DEVICE_DISCONNECTED, after every chunk read before it was
// hashed.
Expected<RangeHash, HelperError> hash_range(Progress& progress, const CheckedTarget& target, uint64_t byte_count,
                                            const std::string& message);

// The middle of a hash whose caller opened the target and prints the start
// and end lines: feeds `sha` the bytes of `target` from offset `from` up to
// `to` (fewer when the target ends first), reading ahead on a second thread
// as hash_range does, with rate-limited "VERIFY" lines that count `from` as
// done. Returns the bytes fed; a failed seek or read is DEVICE_DISCONNECTED.
Expected<uint64_t, HelperError> hash_target_range(Progress& progress, File& target, uint64_t from, uint64_t to,
                                                  Sha256& sha, const std::string& message);

}  // namespace dh
