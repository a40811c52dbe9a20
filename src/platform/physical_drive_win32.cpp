// Win32 backend of the physical-drive interface: CreateFileW on
// \\.\PhysicalDriveN and three DeviceIoControl queries. Interpreting the bytes
// is left to the portable listing code.
#include <windows.h>
#include <winioctl.h>

#include <string>

#include "platform/device_path.h"
#include "platform/physical_drive.h"
#include "platform/win32_handle.h"
#include "platform/win32_text.h"

namespace dh {
namespace {

// Defined here rather than taken from <winioctl.h>: older mingw-w64 headers
// lack the disk-attributes code.
constexpr DWORD kIoctlDiskGetLengthInfo = 0x0007405C;
constexpr DWORD kIoctlStorageQueryProperty = 0x002D1400;
constexpr DWORD kIoctlDiskGetDiskAttributes = 0x000700F0;

SysResult<std::vector<uint8_t>> control(HANDLE h, DWORD code, const void* in, DWORD in_size, DWORD out_size) {
  std::vector<uint8_t> out(out_size);
  auto returned = device_control(h, code, in, in_size, out.data(), out_size);
  DH_TRY(returned);
  out.resize(*returned < out_size ? *returned : out_size);
  return out;
}

class Win32PhysicalDrive final : public PhysicalDrive {
 public:
  explicit Win32PhysicalDrive(ScopedHandle h) : h_(std::move(h)) {}

  SysResult<std::vector<uint8_t>> length_info() override {
    return control(h_.get(), kIoctlDiskGetLengthInfo, nullptr, 0, 8);
  }
  SysResult<std::vector<uint8_t>> device_descriptor() override {
    // STORAGE_PROPERTY_QUERY with StorageDeviceProperty (0) and
    // PropertyStandardQuery (0): twelve zero bytes.
    const uint8_t query[12] = {};
    return control(h_.get(), kIoctlStorageQueryProperty, query, sizeof query,
                   static_cast<DWORD>(kDeviceDescriptorBufferSize));
  }
  SysResult<std::vector<uint8_t>> disk_attributes() override {
    return control(h_.get(), kIoctlDiskGetDiskAttributes, nullptr, 0, 24);
  }

 private:
  ScopedHandle h_;
};

class Win32PhysicalDrives final : public PhysicalDriveSystem {
 public:
  SysResult<PhysicalDrivePtr> open_drive(uint32_t number) override {
    std::wstring path = widen(physical_drive_path(number));
    ScopedHandle h(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                               0, nullptr));
    if (!h.valid()) return unexpected(SysError::last());
    return PhysicalDrivePtr(std::make_unique<Win32PhysicalDrive>(std::move(h)));
  }
};

}  // namespace

PhysicalDriveSystem& native_physical_drive_system() {
  static Win32PhysicalDrives drives;
  return drives;
}

}  // namespace dh
