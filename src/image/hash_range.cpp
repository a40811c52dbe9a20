#include "image/hash_range.h"

#include <algorithm>
#include <vector>

#include "image/sha256.h"
#include "platform/buffered_io.h"
#include "progress/progress.h"
#include "rawdisk/raw_access.h"

namespace dh {

Expected<RangeHash, HelperError> hash_range(const WindowsHelperRequest* request, const std::string& task_id,
                                            const std::string& path, uint64_t byte_count,
                                            const std::string& message, Clock& clock) {
  auto opened = open_target_exclusive_read(path);
  if (!opened) return unexpected(map_raw_disk_error(opened.error()));
  FilePtr target = std::move(opened).value();
  if (auto sought = target->seek(0); !sought) return unexpected(device_disconnected_error(sought.error()));

  // Reads exactly what is still wanted (on a device in whole sectors up to
  // its end), so that the last read of a range ending near the end of a
  // card does not run past it.
  AlignedReader reader(*target, target->kind());
  std::vector<uint8_t> chunk(kIoBufferSize);
  Sha256 sha;
  uint64_t hashed = 0;
  uint64_t remaining = byte_count;
  auto start = clock.now();
  ProgressRateLimit rate(start);
  if (request != nullptr) emit_progress(*request, task_id, "VERIFY", 0, byte_count, 0, message);

  while (remaining > 0) {
    size_t want = static_cast<size_t>(std::min<uint64_t>(remaining, kIoBufferSize));
    auto got = reader.read(chunk.data(), want);
    if (!got) return unexpected(device_disconnected_error(got.error()));
    if (*got == 0) break;
    sha.update(chunk.data(), *got);
    hashed += *got;
    remaining -= *got;
    if (request != nullptr) {
      auto now = clock.now();
      if (rate.due(now)) {
        emit_progress(*request, task_id, "VERIFY", hashed, byte_count, speed_bps(hashed, now - start), message);
      }
    }
  }

  uint64_t speed = speed_bps(hashed, clock.now() - start);
  if (request != nullptr) emit_progress(*request, task_id, "VERIFY", hashed, byte_count, speed, message);
  return RangeHash{sha.finish_hex(), hashed, speed};
}

}  // namespace dh
