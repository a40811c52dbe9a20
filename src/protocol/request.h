// The request record and its parser.
#pragma once

#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "base/result.h"
#include "protocol/helper_error.h"

namespace dh {

// The implicit destructor and moves are noexcept; nlohmann::json's destructor
// allocates a work stack and could only throw when memory runs out.
struct WindowsHelperRequest {  // NOLINT(bugprone-exception-escape)
  std::string id;
  std::string session_id;
  std::string command;
  nlohmann::json payload;  // null when the request had none
};

// Parses the request text: an object with the string members `id`,
// `sessionId`, `command` and an optional `payload` (other members skipped, a
// repeated member rejected), or the array form [id, sessionId, command] /
// [id, sessionId, command, payload]. On failure returns UNKNOWN with the
// parser's description of the problem.
Expected<WindowsHelperRequest, HelperError> parse_request(std::string_view text);

}  // namespace dh
