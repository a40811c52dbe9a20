// Win32 backend of the volume interface: FindFirstVolumeW/FindNextVolumeW,
// the three volume control codes, and where the running system lives.
#include <windows.h>
#include <winioctl.h>

#include "platform/volumes.h"
#include "platform/win32_handle.h"
#include "platform/win32_text.h"

namespace dh {
namespace {

SysStatus control(HANDLE h, DWORD code) {
  DH_TRY(device_control(h, code, nullptr, 0, nullptr, 0));
  return {};
}

class Win32Volume final : public Volume {
 public:
  explicit Win32Volume(ScopedHandle h) : h_(std::move(h)) {}

  SysResult<std::vector<uint8_t>> disk_extents() override {
    std::vector<uint8_t> buffer(1024);
    auto returned = device_control(h_.get(), IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, nullptr, 0, buffer.data(),
                                   static_cast<DWORD>(buffer.size()));
    DH_TRY(returned);
    buffer.resize(*returned);
    return buffer;
  }
  SysStatus lock() override { return control(h_.get(), FSCTL_LOCK_VOLUME); }
  SysStatus dismount() override { return control(h_.get(), FSCTL_DISMOUNT_VOLUME); }

 private:
  ScopedHandle h_;
};

class Win32Volumes final : public VolumeSystem {
 public:
  std::vector<std::string> list_volume_names() override {
    std::vector<std::string> names;
    wchar_t buffer[1024];
    ScopedFindVolumeHandle find(FindFirstVolumeW(buffer, 1024));
    if (!find.valid()) return names;
    do {
      std::string name = narrow(buffer);
      if (!name.empty()) names.push_back(std::move(name));
    } while (FindNextVolumeW(find.get(), buffer, 1024));
    return names;
  }

  SysResult<VolumePtr> open_volume(const std::string& path, VolumeAccess access) override {
    // IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS needs no access right on the
    // handle, and a handle without read or write access does not mount the
    // volume.
    DWORD desired = access == VolumeAccess::kReadWrite ? (GENERIC_READ | GENERIC_WRITE) : 0;
    ScopedHandle h(CreateFileW(widen(path).c_str(), desired, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                               0, nullptr));
    if (!h.valid()) return unexpected(SysError::last());
    return VolumePtr(std::make_unique<Win32Volume>(std::move(h)));
  }

  std::vector<std::string> system_volume_paths() override {
    std::vector<std::string> paths;
    wchar_t windows[MAX_PATH];
    wchar_t mount_point[MAX_PATH];
    wchar_t volume[MAX_PATH];
    UINT length = GetWindowsDirectoryW(windows, MAX_PATH);
    if (length > 0 && length < MAX_PATH && GetVolumePathNameW(windows, mount_point, MAX_PATH) &&
        GetVolumeNameForVolumeMountPointW(mount_point, volume, MAX_PATH)) {
      std::string name = narrow(volume);
      while (!name.empty() && name.back() == '\\') name.pop_back();
      paths.push_back(std::move(name));
    }
    // The partition the firmware starts the boot loader from (the EFI system
    // partition or "System Reserved"), as Windows records it at every boot:
    // an NT device path such as \Device\HarddiskVolume1.
    wchar_t partition[MAX_PATH];
    DWORD size = sizeof partition;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, L"SYSTEM\\Setup", L"SystemPartition", RRF_RT_REG_SZ, nullptr, partition,
                     &size) == ERROR_SUCCESS &&
        partition[0] == L'\\') {
      paths.push_back("\\\\?\\GLOBALROOT" + narrow(partition));
    }
    return paths;
  }
};

}  // namespace

VolumeSystem& native_volume_system() {
  static Win32Volumes volumes;
  return volumes;
}

}  // namespace dh
