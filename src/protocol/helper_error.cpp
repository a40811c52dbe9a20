#include "protocol/helper_error.h"

namespace dh {

std::string_view error_code_text(ErrorCode code) {
  switch (code) {
    case ErrorCode::kUnknown: return "UNKNOWN";
    case ErrorCode::kToolMissing: return "TOOL_MISSING";
    case ErrorCode::kImageMissing: return "IMAGE_MISSING";
    case ErrorCode::kXzInvalid: return "XZ_INVALID";
    case ErrorCode::kUnmountFailed: return "UNMOUNT_FAILED";
    case ErrorCode::kReadFailed: return "READ_FAILED";
    case ErrorCode::kWriteFailed: return "WRITE_FAILED";
    case ErrorCode::kDeviceDisconnected: return "DEVICE_DISCONNECTED";
    case ErrorCode::kElevationDenied: return "ELEVATION_DENIED";
  }
  return "UNKNOWN";
}

}  // namespace dh
