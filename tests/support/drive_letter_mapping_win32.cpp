// Win32: DefineDosDeviceW on Windows. Wine resolves drive letters only
// through the symbolic links in its prefix's dosdevices folder and ignores
// DefineDosDeviceW for file access, so under Wine the letter is defined the
// way winecfg does it: through Wine's mount manager, which writes that link.
#include <windows.h>
#include <winioctl.h>

#include <cstring>
#include <vector>

#include "platform/sys_error.h"
#include "platform/win32_handle.h"
#include "platform/win32_text.h"
#include "support/drive_letter_mapping.h"

namespace dh::test {
namespace {

// Wine's request layout for IOCTL_MOUNTMGR_DEFINE_UNIX_DRIVE (Wine 5 and
// later); the strings follow it, addressed by their offsets. The mount point
// is the folder the letter's files live in, the device what "\\.\X:" opens.
// A request with neither removes the letter's links.
struct WineUnixDrive {
  ULONG size;
  ULONG type;
  ULONG fs_type;
  DWORD serial;
  ULONGLONG unix_dev;
  WCHAR letter;
  USHORT mount_point_offset;
  USHORT device_offset;
  USHORT label_offset;
};
constexpr DWORD kDefineUnixDrive = CTL_CODE('m', 32, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS);

bool running_under_wine() { return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr; }

std::string unix_path_of(const std::string& folder) {
  using UnixName = char*(CDECL*)(const WCHAR*);
  auto to_unix = reinterpret_cast<UnixName>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
  if (to_unix == nullptr) return {};
  char* name = to_unix(widen(folder).c_str());
  if (name == nullptr) return {};
  std::string out(name);
  HeapFree(GetProcessHeap(), 0, name);
  return out;
}

// Defines (mount_point not empty) or removes the letter through Wine's mount
// manager; returns the Win32 error, 0 on success.
DWORD wine_define_drive(char letter, const std::string& mount_point, const std::string& device) {
  WineUnixDrive drive{};
  drive.type = DRIVE_FIXED;
  drive.letter = static_cast<WCHAR>(letter - 'A' + 'a');
  std::vector<char> request(sizeof(WineUnixDrive));
  auto append = [&request](const std::string& text) {
    if (text.empty()) return USHORT{0};
    auto offset = static_cast<USHORT>(request.size());
    request.insert(request.end(), text.c_str(), text.c_str() + text.size() + 1);
    return offset;
  };
  drive.mount_point_offset = append(mount_point);
  drive.device_offset = append(device);
  drive.size = static_cast<ULONG>(request.size());
  std::memcpy(request.data(), &drive, sizeof drive);
  ScopedHandle manager(CreateFileW(L"\\\\.\\MountPointManager", GENERIC_READ | GENERIC_WRITE,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
  if (!manager.valid()) return GetLastError();
  DWORD returned = 0;
  if (!DeviceIoControl(manager.get(), kDefineUnixDrive, request.data(), static_cast<DWORD>(request.size()), nullptr, 0,
                       &returned, nullptr)) {
    return GetLastError();
  }
  return 0;
}

std::wstring device_name(char letter) { return std::wstring{static_cast<wchar_t>(letter), L':'}; }

// Wine's mount manager records the type of a drive it defines under this key
// and keeps the value when the drive is removed.
constexpr const wchar_t* kWineDrivesKey = L"Software\\Wine\\Drives";

std::wstring drive_type_value(char letter) { return std::wstring{static_cast<wchar_t>(letter - 'A' + 'a'), L':'}; }

bool has_drive_type(char letter) {
  return RegGetValueW(HKEY_LOCAL_MACHINE, kWineDrivesKey, drive_type_value(letter).c_str(), RRF_RT_ANY, nullptr,
                      nullptr, nullptr) == ERROR_SUCCESS;
}

}  // namespace

ScopedDriveLetter::ScopedDriveLetter(const std::string& folder) : folder_(folder) {
  DWORD used = GetLogicalDrives();
  char letter = 0;
  for (char c = 'Y'; c >= 'H' && letter == 0; --c) {
    if ((used & (1u << (c - 'A'))) == 0) letter = c;
  }
  if (letter == 0) {
    failure_ = "no free drive letter";
    return;
  }
  through_wine_ = running_under_wine();
  DWORD err = 0;
  if (through_wine_) {
    const std::string device = volume_.file("volume");
    write_file(device, "");
    std::string unix_path = unix_path_of(folder_);
    std::string unix_device = unix_path_of(device);
    if (unix_path.empty() || unix_device.empty()) {
      failure_ = "no Unix path for " + folder_;
      return;
    }
    had_drive_type_ = has_drive_type(letter);
    err = wine_define_drive(letter, unix_path, unix_device);
  } else if (!DefineDosDeviceW(0, device_name(letter).c_str(), widen(folder_).c_str())) {
    err = GetLastError();
  }
  if (err != 0) {
    failure_ = "cannot map drive letter " + std::string(1, letter) + ": " + os_error_text(static_cast<int>(err));
    return;
  }
  letter_ = std::string(1, letter);
}

ScopedDriveLetter::~ScopedDriveLetter() {
  if (letter_.empty()) return;
  if (through_wine_) {
    wine_define_drive(letter_[0], {}, {});
    if (!had_drive_type_) {
      RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kWineDrivesKey, drive_type_value(letter_[0]).c_str());
    }
  } else {
    DefineDosDeviceW(DDD_REMOVE_DEFINITION | DDD_EXACT_MATCH_ON_REMOVE, device_name(letter_[0]).c_str(),
                     widen(folder_).c_str());
  }
}

}  // namespace dh::test
