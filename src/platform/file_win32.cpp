// Win32 backend of the file interface: CreateFileW on files, physical drives
// and volumes.
#include <windows.h>
#include <winioctl.h>

#include <algorithm>
#include <string>

#include "platform/device_path.h"
#include "platform/file.h"
#include "platform/win32_handle.h"
#include "platform/win32_text.h"

namespace dh {
namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// `path` as the file calls take it. A path whose full form reaches MAX_PATH
// goes in extended-length form, which Windows opens at any length even where
// long paths are not enabled for the system (the manifest's longPathAware
// counts only where they are). Shorter paths go as they are, so Windows reads
// them exactly as it always has.
std::wstring win32_path(const std::string& path) {
  std::wstring wide = widen(path);
  if (wide.rfind(L"\\\\?\\", 0) == 0 || wide.rfind(L"\\\\.\\", 0) == 0) return wide;
  DWORD needed = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (needed <= MAX_PATH) return wide;  // also 0: the call failed, and the file call will say why
  std::wstring full(needed, L'\0');
  DWORD length = GetFullPathNameW(wide.c_str(), needed, full.data(), nullptr);
  if (length == 0 || length >= needed) return wide;
  full.resize(length);
  return widen(extended_length_path(narrow(full)));
}

// A file or folder answers the file-information query; a disk, partition or
// volume opened as a device does not. Asked before any device query because
// some systems (Wine) answer storage queries on a file handle too, with the
// numbers of the device the file lies on.
bool is_file_handle(HANDLE h) {
  BY_HANDLE_FILE_INFORMATION info{};
  return GetFileInformationByHandle(h, &info) != 0;
}

// A device-control query without input that must return at least `needed`
// bytes into `out`.
template <class Out>
bool device_query(HANDLE h, DWORD code, Out& out, DWORD needed) {
  auto returned = device_control(h, code, nullptr, 0, &out, sizeof out);
  return returned && *returned >= needed;
}

// What an open handle reaches: a file's identity, or a device's storage
// numbers where it answers them.
PathDevice device_of_handle(HANDLE h) {
  PathDevice device;
  BY_HANDLE_FILE_INFORMATION info{};
  if (GetFileInformationByHandle(h, &info)) {
    device.identity = FileIdentity{info.dwVolumeSerialNumber,
                                   (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
    return device;
  }
  device.is_device = true;
  STORAGE_DEVICE_NUMBER number{};
  if (device_query(h, IOCTL_STORAGE_GET_DEVICE_NUMBER, number, sizeof number)) {
    DeviceNumber n;
    n.device_type = number.DeviceType;
    n.device_number = number.DeviceNumber;
    n.partition_number = static_cast<uint32_t>(number.PartitionNumber);
    if (n.device_type == kFileDeviceDisk) n.disk_path = physical_drive_path(n.device_number);
    device.number = n;
  }
  return device;
}

class Win32File final : public File {
 public:
  explicit Win32File(ScopedHandle h) : h_(std::move(h)) {}

  SysResult<size_t> read(uint8_t* buf, size_t len) override {
    DWORD got = 0;
    DWORD want = static_cast<DWORD>(std::min<size_t>(len, 1u << 30));
    if (!ReadFile(h_.get(), buf, want, &got, nullptr)) {
      DWORD err = GetLastError();
      if (err == ERROR_BROKEN_PIPE || err == ERROR_HANDLE_EOF) return size_t{0};
      return unexpected(SysError::from_os(static_cast<int>(err)));
    }
    return static_cast<size_t>(got);
  }

  SysResult<size_t> write(const uint8_t* buf, size_t len) override {
    DWORD wrote = 0;
    DWORD want = static_cast<DWORD>(std::min<size_t>(len, 1u << 30));
    if (!WriteFile(h_.get(), buf, want, &wrote, nullptr)) {
      return unexpected(SysError::last());
    }
    return static_cast<size_t>(wrote);
  }

  SysStatus seek(uint64_t offset) override {
    LARGE_INTEGER distance;
    distance.QuadPart = static_cast<LONGLONG>(offset);
    if (offset > static_cast<uint64_t>(INT64_MAX) || !SetFilePointerEx(h_.get(), distance, nullptr, FILE_BEGIN)) {
      DWORD err = offset > static_cast<uint64_t>(INT64_MAX) ? ERROR_NEGATIVE_SEEK : GetLastError();
      return unexpected(SysError::from_os(static_cast<int>(err)));
    }
    return {};
  }

  SysStatus flush() override {
    if (!FlushFileBuffers(h_.get())) return unexpected(SysError::last());
    return {};
  }

  SysResult<PathDevice> device() override { return device_of_handle(h_.get()); }

  FileKind kind() override {
    FileKind kind;
    if (is_file_handle(h_.get())) {
      LARGE_INTEGER size{};
      if (GetFileSizeEx(h_.get(), &size)) kind.length = static_cast<uint64_t>(size.QuadPart);
      return kind;
    }
    kind.device = true;
    GET_LENGTH_INFORMATION length{};
    if (device_query(h_.get(), IOCTL_DISK_GET_LENGTH_INFO, length, sizeof length)) {
      kind.length = static_cast<uint64_t>(length.Length.QuadPart);
    }
    // The extended geometry carries the partition and detection data behind
    // it when there is room; only the sector size is read.
    union {
      DISK_GEOMETRY_EX ex;
      unsigned char room[256];
    } geometry_ex{};
    DISK_GEOMETRY geometry{};
    if (device_query(h_.get(), IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, geometry_ex, sizeof(DISK_GEOMETRY))) {
      kind.sector_size = geometry_ex.ex.Geometry.BytesPerSector;
    } else if (device_query(h_.get(), IOCTL_DISK_GET_DRIVE_GEOMETRY, geometry, sizeof geometry)) {
      kind.sector_size = geometry.BytesPerSector;
    }
    return kind;
  }

  SysStatus refresh_layout() override {
    if (is_file_handle(h_.get())) return {};
    auto updated = device_control(h_.get(), IOCTL_DISK_UPDATE_PROPERTIES, nullptr, 0, nullptr, 0);
    if (!updated) return unexpected(std::move(updated).error());
    return {};
  }

 private:
  ScopedHandle h_;
};

SysResult<ScopedHandle> open_for_query(const std::string& path) {
  // Backup semantics lets directories answer too, as a metadata query should.
  ScopedHandle h(
      CreateFileW(win32_path(path).c_str(), 0, kShareAll, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!h.valid()) return unexpected(SysError::last());
  return h;
}

class Win32FileSystem final : public FileSystem {
 public:
  SysResult<FilePtr> open(const std::string& path, OpenMode mode) override {
    DWORD access = GENERIC_READ, share = kShareAll, disposition = OPEN_EXISTING, flags = 0;
    switch (mode) {
      case OpenMode::kSharedRead: break;
      case OpenMode::kExclusiveRead: share = 0; break;
      case OpenMode::kExclusiveWrite:
        access = GENERIC_READ | GENERIC_WRITE;
        share = 0;
        flags = FILE_FLAG_WRITE_THROUGH;
        break;
      case OpenMode::kCreateTruncate:
        access = GENERIC_WRITE;
        disposition = CREATE_ALWAYS;
        flags = FILE_ATTRIBUTE_NORMAL;
        break;
      case OpenMode::kCreateTruncateWriteThrough:
        access = GENERIC_WRITE;
        disposition = CREATE_ALWAYS;
        flags = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_WRITE_THROUGH;
        break;
      case OpenMode::kCreateNewWriteThrough:
        access = GENERIC_WRITE;
        disposition = CREATE_NEW;
        flags = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_WRITE_THROUGH;
        break;
    }
    ScopedHandle h(CreateFileW(win32_path(path).c_str(), access, share, nullptr, disposition, flags, nullptr));
    if (!h.valid()) return unexpected(SysError::last());
    // On a volume handle the file system checks every read and write against
    // the size it gives the volume, which can end before the partition does;
    // FSCTL_ALLOW_EXTENDED_DASD_IO leaves that bound to the partition's
    // driver, so the last sectors can be read and written too. Where it is
    // refused nothing else changes, so its failure is ignored.
    if (is_volume_device_path(path))
      (void)device_control(h.get(), FSCTL_ALLOW_EXTENDED_DASD_IO, nullptr, 0, nullptr, 0);
    return FilePtr(std::make_unique<Win32File>(std::move(h)));
  }

  SysStatus metadata(const std::string& path) override {
    auto h = open_for_query(path);
    DH_TRY(h);
    return {};
  }

  SysResult<FileIdentity> identity(const std::string& path) override {
    auto h = open_for_query(path);
    DH_TRY(h);
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(h->get(), &info)) {
      return unexpected(SysError::last());
    }
    return FileIdentity{info.dwVolumeSerialNumber,
                        (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
  }

  SysStatus replace(const std::string& from, const std::string& to) override {
    if (!MoveFileExW(win32_path(from).c_str(), win32_path(to).c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      return unexpected(SysError::last());
    }
    return {};
  }

  SysStatus remove(const std::string& path) override {
    if (!DeleteFileW(win32_path(path).c_str())) return unexpected(SysError::last());
    return {};
  }

  SysStatus flush_volume(const std::string& root) override {
    if (root.size() < 2 || root[1] != ':') return unexpected(SysError::from_os(ERROR_INVALID_NAME));
    // "\\.\E:" is the volume; with a trailing backslash it would be its root
    // folder. The file system keeps the volume open, and a volume opens only
    // with FILE_SHARE_WRITE in the share mode.
    const std::wstring volume = L"\\\\.\\" + widen(root.substr(0, 2));
    ScopedHandle h(
        CreateFileW(volume.c_str(), GENERIC_READ | GENERIC_WRITE, kShareAll, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!h.valid() || !FlushFileBuffers(h.get())) {
      return unexpected(SysError::last());
    }
    return {};
  }

  SysResult<PathDevice> device_of(const std::string& path) override {
    auto h = open_for_query(path);
    DH_TRY(h);
    return device_of_handle(h->get());
  }
};

}  // namespace

FileSystem& native_file_system() {
  static Win32FileSystem fs;
  return fs;
}

}  // namespace dh
