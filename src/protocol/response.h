// The response record and the one line it is written as.
#pragma once

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "protocol/helper_error.h"

namespace dh {

struct HelperResponse {
  std::string id;
  bool ok = false;
  std::optional<std::string> error_code;
  std::optional<std::string> error_message;
  std::optional<nlohmann::json> payload;
};

HelperResponse make_error_response(std::string id, ErrorCode code, std::string message);
HelperResponse make_response(std::string id, HandlerResult result);

// Compact JSON with the members in the fixed order id, ok, errorCode,
// errorMessage, payload. When serialization fails (text that is not UTF-8),
// the fixed fallback error line is returned instead, with the serializer's
// text escaped so the line stays valid JSON.
std::string serialize_response(const HelperResponse& response);

// Compact UTF-8 JSON as the helper writes it; throws nlohmann's type_error
// for invalid UTF-8.
std::string dump_json(const nlohmann::json& value);

}  // namespace dh
