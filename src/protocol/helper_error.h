// The error value every handler returns instead of a payload, and the whole
// error-code vocabulary.
#pragma once

#include <array>
#include <string>

#include <nlohmann/json.hpp>

#include "base/result.h"
#include "platform/sys_error.h"

namespace dh {

namespace error_code {
inline constexpr const char* kUnknown = "UNKNOWN";
inline constexpr const char* kToolMissing = "TOOL_MISSING";
inline constexpr const char* kImageMissing = "IMAGE_MISSING";
inline constexpr const char* kXzInvalid = "XZ_INVALID";
inline constexpr const char* kUnmountFailed = "UNMOUNT_FAILED";
inline constexpr const char* kReadFailed = "READ_FAILED";
inline constexpr const char* kWriteFailed = "WRITE_FAILED";
inline constexpr const char* kDeviceDisconnected = "DEVICE_DISCONNECTED";
inline constexpr const char* kElevationDenied = "ELEVATION_DENIED";
// Every code above; a response's errorCode is always one of them.
inline constexpr std::array<const char*, 9> kAll = {kUnknown,     kToolMissing,        kImageMissing,
                                                    kXzInvalid,   kUnmountFailed,      kReadFailed,
                                                    kWriteFailed, kDeviceDisconnected, kElevationDenied};
}  // namespace error_code

struct HelperError {
  std::string code;
  std::string message;

  friend bool operator==(const HelperError&, const HelperError&) = default;
};

inline HelperError unknown_error(std::string message) { return HelperError{error_code::kUnknown, std::move(message)}; }
inline HelperError helper_error(const char* code, const SysError& err) { return HelperError{code, err.message}; }

// What a handler returns: a payload (always a JSON object) or an error.
using HandlerResult = Expected<nlohmann::json, HelperError>;

}  // namespace dh
