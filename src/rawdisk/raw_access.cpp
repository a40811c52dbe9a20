#include "rawdisk/raw_access.h"

#include "platform/buffered_io.h"
#include "platform/elevation.h"

namespace dh {

namespace {

constexpr std::chrono::seconds kBusyOpenPatience{14};
constexpr std::chrono::milliseconds kBusyOpenRetryInterval{250};

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

SysResult<FilePtr> open_exclusive(const CheckedTarget& target, OpenMode mode, Clock& clock) {
  auto start = clock.now();
  for (;;) {
    auto opened = open_checked(target, mode);
    if (opened || opened.error().kind() != SysErrorKind::kSharingViolation) return opened;
    if (std::chrono::duration_cast<std::chrono::seconds>(clock.now() - start) > kBusyOpenPatience) return opened;
    clock.sleep(kBusyOpenRetryInterval);
  }
}

// Access refused to a process that already holds administrator rights:
// more rights cannot help, so the message says what else refuses it.
std::string elevated_refusal_message(const std::string& path, const SysError& error) {
  return "Windows refused access to " + path +
         " although the helper runs as administrator: a security program (such as Controlled Folder Access or an "
         "antivirus) or a policy that blocks writing to removable drives may be stopping it. " +
         error.message;
}

}  // namespace

CheckedTarget CheckedTarget::as_found(std::string path) {
  auto device = file_system().device_of(path);
  return CheckedTarget{std::move(path), std::move(device)};
}

SysResult<FilePtr> open_target_shared_read(const CheckedTarget& target) {
  return open_checked(target, OpenMode::kSharedRead);
}

SysResult<FilePtr> open_target_exclusive_read(const CheckedTarget& target, Clock& clock) {
  return open_exclusive(target, OpenMode::kExclusiveRead, clock);
}

SysResult<FilePtr> open_target_exclusive_write(const CheckedTarget& target, Clock& clock) {
  return open_exclusive(target, OpenMode::kExclusiveWrite, clock);
}

void announce_new_layout(const CheckedTarget& target, Clock& clock) {
  if (auto opened = open_target_exclusive_write(target, clock)) (void)(*opened)->refresh_layout();
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

HelperError map_raw_disk_error(const SysError& error, const std::string& path) {
  if (error.kind() == SysErrorKind::kAccessDenied && process_is_elevated()) {
    return HelperError{ErrorCode::kDeviceDisconnected, elevated_refusal_message(path, error)};
  }
  if (error.kind() == SysErrorKind::kAccessDenied)
    return HelperError{ErrorCode::kElevationDenied, kElevationDeniedMessage};
  return device_disconnected_error(error);
}

Expected<FilePtr, HelperError> exclusive_read_handle(const CheckedTarget& target, Clock& clock) {
  auto opened = open_target_exclusive_read(target, clock);
  if (!opened) return unexpected(map_raw_disk_error(opened.error(), target.path));
  return std::move(opened).value();
}

Expected<FilePtr, HelperError> exclusive_write_handle(const CheckedTarget& target, Clock& clock) {
  auto opened = open_target_exclusive_write(target, clock);
  if (!opened) return unexpected(map_raw_disk_error(opened.error(), target.path));
  return std::move(opened).value();
}

HelperError device_disconnected_error(const SysError& error) {
  return HelperError{ErrorCode::kDeviceDisconnected, error.message};
}

HelperError image_missing_error(const SysError& error) { return HelperError{ErrorCode::kImageMissing, error.message}; }

}  // namespace dh
