#include "rawdisk/raw_access.h"

#include "platform/buffered_io.h"

namespace dh {

namespace {

SysResult<FilePtr> open_checked(const CheckedTarget& target, OpenMode mode) {
  auto opened = file_system().open(target.path, mode);
  DH_TRY(opened);
  auto reached = (*opened)->device();
  if (!target.device || !reached || !same_device(*target.device, *reached)) {
    return unexpected(SysError::fixed("Refusing " + target.path +
                                      ": it now opens another device or file than the one that was checked"));
  }
  return opened;
}

}  // namespace

CheckedTarget CheckedTarget::as_found(std::string path) {
  auto device = file_system().device_of(path);
  return CheckedTarget{std::move(path), std::move(device)};
}

SysResult<FilePtr> open_target_shared_read(const CheckedTarget& target) {
  return open_checked(target, OpenMode::kSharedRead);
}

SysResult<FilePtr> open_target_exclusive_read(const CheckedTarget& target) {
  return open_checked(target, OpenMode::kExclusiveRead);
}

SysResult<FilePtr> open_target_exclusive_write(const CheckedTarget& target) {
  return open_checked(target, OpenMode::kExclusiveWrite);
}

SysResult<std::vector<uint8_t>> read_sectors_at(File& target, uint64_t lba, uint64_t count) {
  if (lba > kMaxReadableLba) return unexpected(SysError::fixed("Sector offset overflow"));
  std::vector<uint8_t> buffer(static_cast<size_t>(count * kSectorSize));
  // On a drive with larger sectors (4096 bytes) the reader reads the whole
  // sectors around the 512-byte ones asked for.
  AlignedReader reader(target, target.kind());
  DH_TRY(reader.seek(lba * kSectorSize));
  auto filled = reader.read_full(buffer.data(), buffer.size());
  DH_TRY(filled);
  if (*filled < buffer.size()) return unexpected(SysError::fixed(kShortReadText));
  return buffer;
}

HelperError map_raw_disk_error(const SysError& error) {
  if (error.kind() == SysErrorKind::kAccessDenied) {
    return HelperError{ErrorCode::kElevationDenied, kElevationDeniedMessage};
  }
  return device_disconnected_error(error);
}

HelperError device_disconnected_error(const SysError& error) {
  return HelperError{ErrorCode::kDeviceDisconnected, error.message};
}

HelperError image_missing_error(const SysError& error) { return HelperError{ErrorCode::kImageMissing, error.message}; }

}  // namespace dh
