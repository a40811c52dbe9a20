#include "rawdisk/raw_access.h"

#include "platform/buffered_io.h"

namespace dh {

SysResult<FilePtr> open_target_shared_read(const std::string& path) {
  return file_system().open(path, OpenMode::kSharedRead);
}

SysResult<FilePtr> open_target_exclusive_read(const std::string& path) {
  return file_system().open(path, OpenMode::kExclusiveRead);
}

SysResult<FilePtr> open_target_exclusive_write(const std::string& path) {
  return file_system().open(path, OpenMode::kExclusiveWrite);
}

Expected<std::vector<uint8_t>, std::string> read_sectors_at(File& target, uint64_t lba, uint64_t count) {
  if (lba > kMaxReadableLba) return unexpected(std::string("Sector offset overflow"));
  std::vector<uint8_t> buffer(static_cast<size_t>(count * kSectorSize));
  // On a drive with larger sectors (4096 bytes) the reader reads the whole
  // sectors around the 512-byte ones asked for.
  AlignedReader reader(target, target.kind());
  if (auto sought = reader.seek(lba * kSectorSize); !sought) return unexpected(std::move(sought).error().message);
  auto filled = reader.read_full(buffer.data(), buffer.size());
  if (!filled) return unexpected(std::move(filled).error().message);
  if (*filled < buffer.size()) return unexpected(std::string(kShortReadText));
  return buffer;
}

HelperError map_raw_disk_error(const SysError& error) {
  if (error.code != 0 && is_access_denied(error.code)) {
    return HelperError{error_code::kElevationDenied, kElevationDeniedMessage};
  }
  return device_disconnected_error(error);
}

HelperError device_disconnected_error(const SysError& error) {
  return HelperError{error_code::kDeviceDisconnected, error.message};
}

HelperError image_missing_error(const SysError& error) { return HelperError{error_code::kImageMissing, error.message}; }

}  // namespace dh
