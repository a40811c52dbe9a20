// Errors from the operating system and from the I/O helpers built on it.
#pragma once

#include <string>

#include "base/result.h"

namespace dh {

// An I/O failure: the OS error code (Win32 error or errno; 0 when the failure
// has no OS code) and the text shown to the user. For OS errors the text is
// "<system message> (os error N)".
struct SysError {
  int code = 0;
  std::string message;

  static SysError from_os(int code);
  static SysError fixed(std::string text) { return SysError{0, std::move(text)}; }
};

template <class T>
using SysResult = Expected<T, SysError>;
using SysStatus = Expected<void, SysError>;

// The platform's error code of the last failed call (errno / GetLastError()).
// Read it right after the failing call, before any cleanup.
int last_os_error();

// The one place that formats OS error text: the system's message for `code`
// (no trailing line break) followed by " (os error N)".
std::string os_error_text(int code);

// True when `code` means the OS refused access: ERROR_ACCESS_DENIED (5) or
// WSAEACCES (10013) on Windows, EACCES or EPERM on POSIX.
bool is_access_denied(int code);

// A read returned no bytes before the buffer was full.
inline constexpr const char* kShortReadText = "failed to fill whole buffer";
// A write was accepted with zero bytes.
inline constexpr const char* kZeroWriteText = "failed to write whole buffer";

}  // namespace dh
