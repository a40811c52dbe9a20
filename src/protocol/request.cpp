#include "protocol/request.h"

#include <array>
#include <optional>

namespace dh {
namespace {

using nlohmann::json;

constexpr const char* kShape = "struct WindowsHelperRequest";

// Describes a JSON value in the way the parser's type errors name it.
std::string describe(const json& v) {
  switch (v.type()) {
    case json::value_t::null: return "null";
    case json::value_t::boolean: return std::string("boolean `") + (v.get<bool>() ? "true" : "false") + "`";
    case json::value_t::number_integer:
    case json::value_t::number_unsigned: return "integer `" + v.dump() + "`";
    case json::value_t::number_float: return "floating point `" + v.dump() + "`";
    case json::value_t::string: return "string " + v.dump();
    case json::value_t::array: return "sequence";
    case json::value_t::object: return "map";
    default: return "value";
  }
}

std::string invalid_type(const json& v, const std::string& expected) {
  return "invalid type: " + describe(v) + ", expected " + expected;
}

}  // namespace

Expected<WindowsHelperRequest, HelperError> parse_request(std::string_view text) {
  static constexpr std::array<const char*, 4> kFields = {"id", "sessionId", "command", "payload"};
  std::optional<std::string> duplicate;
  std::array<int, 4> seen{};
  json::parser_callback_t watch_keys = [&](int depth, json::parse_event_t event, json& parsed) {
    if (event == json::parse_event_t::key && depth == 1 && parsed.is_string()) {
      const auto& key = parsed.get_ref<const std::string&>();
      for (size_t i = 0; i < kFields.size(); ++i) {
        if (key == kFields[i] && ++seen[i] == 2 && !duplicate) duplicate = key;
      }
    }
    return true;
  };

  json doc;
  try {
    doc = json::parse(text.begin(), text.end(), watch_keys);
  } catch (const json::exception& e) {
    return unexpected(unknown_error(std::string(e.what())));
  }

  WindowsHelperRequest req;
  std::array<std::string*, 3> targets = {&req.id, &req.session_id, &req.command};
  if (doc.is_object()) {
    if (duplicate) return unexpected(unknown_error("duplicate field `" + *duplicate + "`"));
    for (size_t i = 0; i < targets.size(); ++i) {
      auto it = doc.find(kFields[i]);
      if (it == doc.end()) return unexpected(unknown_error(std::string("missing field `") + kFields[i] + "`"));
      if (!it->is_string()) return unexpected(unknown_error(invalid_type(*it, "a string")));
      *targets[i] = it->get<std::string>();
    }
    if (auto it = doc.find("payload"); it != doc.end()) req.payload = std::move(*it);
    return req;
  }
  if (doc.is_array()) {
    size_t n = doc.size();
    if (n < 3 || n > 4) {
      return unexpected(
          unknown_error("invalid length " + std::to_string(n) + ", expected " + kShape + " with 4 elements"));
    }
    for (size_t i = 0; i < targets.size(); ++i) {
      if (!doc[i].is_string()) return unexpected(unknown_error(invalid_type(doc[i], "a string")));
      *targets[i] = doc[i].get<std::string>();
    }
    if (n == 4) req.payload = std::move(doc[3]);
    return req;
  }
  return unexpected(unknown_error(invalid_type(doc, kShape)));
}

}  // namespace dh
