// libFuzzer target: the drive-number parser against a plain reference, and
// resolve_target_path over a payload, its NUL refusals included. The input is
// tried as a payload's JSON text and, whole, as the `deviceId` string of a
// payload.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "disks/target.h"
#include "protocol/payload.h"

namespace {

using nlohmann::json;

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// The number after the last "physicaldrive" (any ASCII case), found by
// scanning back from the end; too large when it has more than ten
// significant digits or compares above 4294967295 as text.
std::optional<uint32_t> reference_drive_number(std::string_view text) {
  static constexpr std::string_view kMarker = "physicaldrive";
  if (text.size() < kMarker.size()) return std::nullopt;
  for (size_t at = text.size() - kMarker.size() + 1; at-- > 0;) {
    bool match = true;
    for (size_t k = 0; k < kMarker.size() && match; ++k) match = lower(text[at + k]) == kMarker[k];
    if (!match) continue;
    std::string digits;
    for (size_t i = at + kMarker.size(); i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) digits += text[i];
    if (digits.empty()) return std::nullopt;
    size_t first = digits.find_first_not_of('0');
    std::string significant = first == std::string::npos ? "0" : digits.substr(first);
    if (significant.size() > 10 || (significant.size() == 10 && significant > "4294967295")) return std::nullopt;
    return static_cast<uint32_t>(std::stoul(significant));
  }
  return std::nullopt;
}

void check_resolve(const json& payload) {
  auto resolved = dh::resolve_target_path(payload);
  auto path = dh::payload_str(payload, "osDevicePath");
  auto id = dh::payload_str(payload, "deviceId");
  // A field the system would read only up to a NUL is refused, naming it.
  auto refused_for = [&](const char* field) {
    return !resolved && resolved.error().code == dh::ErrorCode::kUnknown &&
           resolved.error().message == std::string(field) + " payload field contains a NUL character";
  };
  if (path && path->find('\0') != std::string::npos) {
    if (!refused_for("osDevicePath")) std::abort();
    return;
  }
  if (path) {
    if (!resolved || *resolved != *path) std::abort();
    return;
  }
  if (id && id->find('\0') != std::string::npos) {
    if (!refused_for("deviceId")) std::abort();
    return;
  }
  std::optional<uint32_t> number = id ? dh::parse_drive_number(*id) : std::nullopt;
  if (number) {
    if (!resolved || *resolved != dh::physical_drive_path(*number)) std::abort();
    if (dh::parse_drive_number(*resolved) != number) std::abort();
    return;
  }
  if (resolved || resolved.error().code != dh::ErrorCode::kUnknown ||
      resolved.error().message != dh::missing_field::kTarget) {
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  if (dh::parse_drive_number(text) != reference_drive_number(text)) std::abort();
  if (size >= 4) {
    uint32_t n = static_cast<uint32_t>(data[0]) | static_cast<uint32_t>(data[1]) << 8 |
                 static_cast<uint32_t>(data[2]) << 16 | static_cast<uint32_t>(data[3]) << 24;
    if (dh::parse_drive_number(dh::physical_drive_path(n)) != n) std::abort();
  }

  json payload = json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (!payload.is_discarded()) check_resolve(payload);
  check_resolve(json{{"deviceId", text}});
  check_resolve(json{{"deviceId", text}, {"osDevicePath", 7}});
  return 0;
}
