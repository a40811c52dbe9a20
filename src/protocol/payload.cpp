#include "protocol/payload.h"

#include <cmath>
#include <limits>

namespace dh {
namespace {

const nlohmann::json* field(const nlohmann::json& payload, const char* key) {
  if (!payload.is_object()) return nullptr;
  auto it = payload.find(key);
  return it == payload.end() ? nullptr : &*it;
}

}  // namespace

Expected<std::optional<std::string>, HelperError> payload_path(const nlohmann::json& payload, const char* key) {
  auto text = payload_str(payload, key);
  if (text && text->find('\0') != std::string::npos) {
    return unexpected(unknown_error(std::string(key) + " payload field contains a NUL character"));
  }
  return text;
}

std::optional<uint64_t> json_to_u64(const nlohmann::json& value) {
  if (value.is_number_unsigned()) return value.get<uint64_t>();
  if (value.is_number_integer()) {
    int64_t v = value.get<int64_t>();
    return v < 0 ? 0 : static_cast<uint64_t>(v);
  }
  if (value.is_number_float()) {
    double d = std::trunc(value.get<double>());
    if (std::isnan(d) || d <= 0.0) return 0;
    if (d >= 18446744073709551616.0) return std::numeric_limits<uint64_t>::max();
    return static_cast<uint64_t>(d);
  }
  return std::nullopt;
}

std::optional<std::string> payload_str(const nlohmann::json& payload, const char* key) {
  const auto* v = field(payload, key);
  if (v == nullptr || !v->is_string()) return std::nullopt;
  return v->get<std::string>();
}

std::optional<uint64_t> payload_u64(const nlohmann::json& payload, const char* key) {
  const auto* v = field(payload, key);
  if (v == nullptr) return std::nullopt;
  return json_to_u64(*v);
}

bool payload_flag(const nlohmann::json& payload, const char* key) {
  const auto* v = field(payload, key);
  return v != nullptr && v->is_boolean() && v->get<bool>();
}

const nlohmann::json* payload_array(const nlohmann::json& payload, const char* key) {
  const auto* v = field(payload, key);
  return v != nullptr && v->is_array() ? v : nullptr;
}

}  // namespace dh
