// The Windows device-namespace names the helper builds and recognises. Pure
// text, the same on every platform.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace dh {

// "\\.\PhysicalDrive<number>", the whole disk with that number. Windows
// numbers disks in 32 bits; the listing also names the larger numbers a
// PowerShell answer may carry, in the same form.
std::string physical_drive_path(uint64_t number);

// True when `path` opens a volume itself rather than a file or folder on it:
// a drive letter "\\.\X:" or a volume GUID name "\\?\Volume{...}" (either
// prefix, any letter case), with nothing after it. With a trailing backslash
// the same names open the volume's root folder, and this is false.
bool is_volume_device_path(std::string_view path);

}  // namespace dh
