#include "disks/target.h"

#include "base/text.h"
#include "protocol/payload.h"

namespace dh {

bool is_physical_drive_name(std::string_view path) {
  static constexpr std::string_view kName = "physicaldrive";
  if (path.size() <= 4 + kName.size()) return false;
  if (path.substr(0, 2) != "\\\\" || (path[2] != '.' && path[2] != '?') || path[3] != '\\') return false;
  if (ascii_lower(path.substr(4, kName.size())) != kName) return false;
  std::string_view digits = path.substr(4 + kName.size());
  if (digits.size() > 1 && digits[0] == '0') return false;
  for (char c : digits) {
    if (c < '0' || c > '9') return false;
  }
  return parse_drive_number(path).has_value();
}

bool is_device_namespace_path(std::string_view path) {
  std::string p(path);
  for (char& c : p) {
    if (c == '/') c = '\\';
  }
  if (p.size() < 4 || p.substr(0, 2) != "\\\\" || (p[2] != '.' && p[2] != '?') || p[3] != '\\') return false;
  if (p[2] == '.') return true;
  std::string_view rest = std::string_view(p).substr(4);
  const bool drive =
      rest.size() >= 2 && rest[1] == ':' && ((rest[0] >= 'A' && rest[0] <= 'Z') || (rest[0] >= 'a' && rest[0] <= 'z'));
  if (drive) return rest.size() <= 3;  // "C:" or "C:\" is the volume
  if (ascii_lower(rest.substr(0, 4)) == "unc\\") return false;
  if (ascii_lower(rest.substr(0, 10)) == "globalroot") return true;
  // \\?\Volume{...}\file is a file on that volume; the name alone is the volume.
  size_t sep = rest.find('\\');
  return sep == std::string_view::npos || sep + 1 == rest.size();
}

std::optional<uint32_t> parse_drive_number(std::string_view text) {
  static constexpr std::string_view kMarker = "physicaldrive";
  std::string lower = ascii_lower(text);
  size_t at = lower.rfind(kMarker);
  if (at == std::string::npos) return std::nullopt;
  uint64_t value = 0;
  size_t digits = 0;
  for (size_t i = at + kMarker.size(); i < lower.size() && lower[i] >= '0' && lower[i] <= '9'; ++i, ++digits) {
    value = value * 10 + static_cast<uint64_t>(lower[i] - '0');
    if (value > 0xFFFFFFFFu) return std::nullopt;
  }
  if (digits == 0) return std::nullopt;
  return static_cast<uint32_t>(value);
}

Expected<std::string, HelperError> resolve_target_path(const nlohmann::json& payload) {
  auto path = payload_path(payload, "osDevicePath");
  DH_TRY(path);
  if (*path) return **path;
  auto id = payload_path(payload, "deviceId");
  DH_TRY(id);
  if (*id) {
    if (auto number = parse_drive_number(**id)) return physical_drive_path(*number);
  }
  return unexpected(unknown_error(missing_field::kTarget));
}

}  // namespace dh
