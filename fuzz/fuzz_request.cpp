// libFuzzer target: the request text as the helper reads it from its
// command line, the payload field readers over the parsed payload, and the
// response line for both outcomes. Every response line must parse back as
// JSON with the fixed member order and carry the values it was given.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "protocol/payload.h"
#include "protocol/request.h"
#include "protocol/response.h"

namespace {

using nlohmann::json;

constexpr const char* kKnownKeys[] = {"imagePath", "outputPath",    "bytesTotal",  "osDevicePath",
                                      "deviceId",  "startLba",      "sectorCount", "skipReadback",
                                      "files",     "cmdlineAppend", "taskId",      "expectedSha256"};

void check_u64(const json& value, std::optional<uint64_t> got) {
  if (!value.is_number()) {
    if (got) std::abort();
    return;
  }
  if (!got) std::abort();
  if (value.is_number_unsigned()) {
    if (*got != value.get<uint64_t>()) std::abort();
  } else if (value.is_number_integer()) {
    int64_t v = value.get<int64_t>();
    if (*got != (v < 0 ? 0 : static_cast<uint64_t>(v))) std::abort();
  } else {
    // Truncated toward zero: got <= d < got + 1, clamped to [0, 2^64-1].
    long double d = value.get<double>();
    if (d < 1) {
      if (*got != 0) std::abort();
    } else if (d >= 18446744073709551616.0L) {
      if (*got != std::numeric_limits<uint64_t>::max()) std::abort();
    } else if (static_cast<long double>(*got) > d || d >= static_cast<long double>(*got) + 1) {
      std::abort();
    }
  }
}

void check_field(const json& payload, const std::string& key) {
  const json* value = nullptr;
  if (payload.is_object()) {
    auto it = payload.find(key);
    if (it != payload.end()) value = &*it;
  }
  auto str = dh::payload_str(payload, key.c_str());
  if (str.has_value() != (value != nullptr && value->is_string())) std::abort();
  if (str && *str != value->get_ref<const std::string&>()) std::abort();

  auto number = dh::payload_u64(payload, key.c_str());
  if (value == nullptr) {
    if (number) std::abort();
  } else {
    check_u64(*value, number);
  }

  if (dh::payload_flag(payload, key.c_str()) != (value != nullptr && *value == true)) std::abort();
  const json* array = dh::payload_array(payload, key.c_str());
  if ((array != nullptr) != (value != nullptr && value->is_array())) std::abort();
  if (array != nullptr && array != value) std::abort();
}

// JSON writes infinite numbers (from literals like 1e999) as null.
bool all_finite(const json& v) {
  if (v.is_number_float()) return std::isfinite(v.get<double>());
  if (v.is_structured()) {
    for (const auto& element : v) {
      if (!all_finite(element)) return false;
    }
  }
  return true;
}

// The line must be one JSON object with its members in the fixed order.
json check_line(const std::string& line) {
  if (line.find('\n') != std::string::npos) std::abort();
  std::vector<std::string> members;
  json::parser_callback_t record_members = [&](int depth, json::parse_event_t event, json& parsed) {
    if (event == json::parse_event_t::key && depth == 1) members.push_back(parsed.get<std::string>());
    return true;
  };
  json back = json::parse(line, record_members, /*allow_exceptions=*/false);
  if (back.is_discarded() || !back.is_object() || !back["ok"].is_boolean() || !back["id"].is_string()) std::abort();
  static const std::vector<std::string> kOrder = {"id", "ok", "errorCode", "errorMessage", "payload"};
  size_t at = 0;
  for (const std::string& member : members) {
    while (at < kOrder.size() && kOrder[at] != member) ++at;
    if (at == kOrder.size()) std::abort();
    ++at;
  }
  if (members.size() < 2 || members[0] != "id" || members[1] != "ok") std::abort();
  return back;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  auto request = dh::parse_request(text);
  if (!request) {
    if (request.error().code != dh::ErrorCode::kUnknown) std::abort();
    const std::string& message = request.error().message;
    if (message.empty()) std::abort();
    json back =
        check_line(dh::serialize_response(dh::make_error_response("unknown", dh::ErrorCode::kUnknown, message)));
    if (back["ok"] != false || back["errorCode"] != "UNKNOWN") std::abort();
    // The parser's text may quote invalid UTF-8 from the input; then the
    // fallback line stands in, otherwise the text arrives unchanged.
    json expected = message;
    bool printable = true;
    try {
      (void)dh::dump_json(expected);
    } catch (const json::exception&) {
      printable = false;
    }
    if (printable && (back["id"] != "unknown" || back["errorMessage"] != message)) std::abort();
    return 0;
  }

  const json& payload = request->payload;
  for (const char* key : kKnownKeys) check_field(payload, key);
  if (payload.is_object()) {
    for (const auto& [key, value] : payload.items()) check_field(payload, key);
  }

  // A handler's payload goes out unchanged under the request's id.
  json back = check_line(dh::serialize_response(dh::make_response(request->id, payload)));
  if (back["id"] != request->id || back["ok"] != true || back.contains("errorCode")) std::abort();
  if (all_finite(payload) && back["payload"] != payload) std::abort();
  return 0;
}
