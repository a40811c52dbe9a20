// The error value every handler returns instead of a payload, and the whole
// error-code vocabulary.
#pragma once

#include <array>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "base/result.h"
#include "platform/sys_error.h"

namespace dh {

// What a failed request reports as its errorCode.
enum class ErrorCode {
  kUnknown,
  kToolMissing,
  kImageMissing,
  kXzInvalid,
  kUnmountFailed,
  kReadFailed,
  kWriteFailed,
  kDeviceDisconnected,
  kElevationDenied,
};

// Every code, in declaration order.
inline constexpr std::array<ErrorCode, 9> kAllErrorCodes = {
    ErrorCode::kUnknown,     ErrorCode::kToolMissing,        ErrorCode::kImageMissing,
    ErrorCode::kXzInvalid,   ErrorCode::kUnmountFailed,      ErrorCode::kReadFailed,
    ErrorCode::kWriteFailed, ErrorCode::kDeviceDisconnected, ErrorCode::kElevationDenied};

// The code as it appears on the response line ("UNKNOWN", "WRITE_FAILED", ...).
std::string_view error_code_text(ErrorCode code);

struct HelperError {
  ErrorCode code = ErrorCode::kUnknown;
  std::string message;

  friend bool operator==(const HelperError&, const HelperError&) = default;
};

inline HelperError unknown_error(std::string message) { return HelperError{ErrorCode::kUnknown, std::move(message)}; }
// An I/O failure reported under `code` with the failure's own text.
inline HelperError helper_error(ErrorCode code, const SysError& err) { return HelperError{code, err.message}; }

// What a handler returns: a payload (always a JSON object) or an error.
using HandlerResult = Expected<nlohmann::json, HelperError>;

}  // namespace dh
