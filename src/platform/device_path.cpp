#include "platform/device_path.h"

#include "base/text.h"

namespace dh {

std::string physical_drive_path(uint64_t number) { return "\\\\.\\PhysicalDrive" + std::to_string(number); }

bool is_volume_device_path(std::string_view path) {
  if (path.size() < 6 || path.substr(0, 2) != "\\\\" || (path[2] != '.' && path[2] != '?') || path[3] != '\\') {
    return false;
  }
  std::string_view name = path.substr(4);
  bool letter = (name[0] >= 'A' && name[0] <= 'Z') || (name[0] >= 'a' && name[0] <= 'z');
  if (name.size() == 2 && letter && name[1] == ':') return true;
  static constexpr std::string_view kVolume = "volume{";
  return name.size() > kVolume.size() + 1 && ascii_lower(name.substr(0, kVolume.size())) == kVolume &&
         name.back() == '}' && name.find('\\') == std::string_view::npos;
}

}  // namespace dh
