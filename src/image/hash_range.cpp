#include "image/hash_range.h"

#include <algorithm>

#include "decode/sha256.h"
#include "platform/buffer_pipe.h"
#include "platform/buffered_io.h"
#include "rawdisk/raw_access.h"

namespace dh {

Expected<uint64_t, HelperError> hash_target_range(Progress& progress, File& target, uint64_t from, uint64_t to,
                                                  Sha256& sha, const std::string& message) {
  // Reads exactly what is still wanted (on a device in whole sectors up to
  // its end), so that the last read of a range ending near the end of a
  // card does not run past it. The next chunk is read on a thread of its own
  // while this one hashes the last and prints the progress lines.
  AlignedReader reader(target, target.kind());
  if (auto sought = reader.seek(from); !sought) return unexpected(device_disconnected_error(sought.error()));
  uint64_t remaining = to > from ? to - from : 0;  // the reading thread's
  auto read_chunk = [&](uint8_t* chunk, size_t capacity) -> SysResult<size_t> {
    size_t want = static_cast<size_t>(std::min<uint64_t>(remaining, capacity));
    if (want == 0) return size_t{0};
    auto got = reader.read(chunk, want);
    if (got) remaining -= *got;
    return got;
  };
  uint64_t hashed = 0;
  auto hash_chunk = [&](const uint8_t* data, size_t size) {
    sha.update(data, size);
    hashed += size;
    progress.periodic("VERIFY", from + hashed, message);
    return true;
  };
  if (auto failed = read_ahead<SysError>(read_chunk, hash_chunk); failed) {
    return unexpected(device_disconnected_error(*failed));
  }
  return hashed;
}

Expected<RangeHash, HelperError> hash_range(Progress& progress, const CheckedTarget& checked, uint64_t byte_count,
                                            const std::string& message) {
  auto opened = exclusive_read_handle(checked, progress.clock());
  DH_TRY(opened);
  FilePtr target = std::move(opened).value();
  Sha256 sha;
  progress.start_stage(byte_count);
  progress.line("VERIFY", 0, 0, message);
  auto hashed = hash_target_range(progress, *target, 0, byte_count, sha, message);
  DH_TRY(hashed);
  uint64_t speed = speed_bps(*hashed, progress.elapsed());
  progress.line("VERIFY", *hashed, speed, message);
  return RangeHash{sha.finish_hex(), *hashed, speed};
}

}  // namespace dh
