// Errors from the operating system and from the I/O helpers built on it.
#pragma once

#include <string>

#include "base/result.h"

namespace dh {

// What an OS error means to the helper's decisions. Each backend maps its own
// codes once, from one table.
enum class SysErrorKind {
  kNone,              // no OS code (a fixed text)
  kAccessDenied,      // ERROR_ACCESS_DENIED, WSAEACCES; EACCES, EPERM
  kSharingViolation,  // ERROR_SHARING_VIOLATION; EBUSY
  kNotFound,          // ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND; ENOENT
  kOther,
};

SysErrorKind classify_os_error(int code);

// The platform's first code of `kind` in that table (0 for kNone and kOther),
// for doubles that must fail the way the system does.
int os_error_code(SysErrorKind kind);

// An I/O failure: the OS error code (Win32 error or errno; 0 when the failure
// has no OS code) and the text shown to the user. For OS errors the text is
// "<system message> (os error N)".
struct SysError {
  int code = 0;
  std::string message;

  static SysError from_os(int code);
  // The platform's error of the last failed call (GetLastError() / errno),
  // with its text. Call it right after the failing call, before any cleanup
  // can change that error.
  static SysError last();
  static SysError fixed(std::string text) { return SysError{0, std::move(text)}; }

  // The same error with `context` put before its text.
  SysError prefixed(const std::string& context) const { return SysError{code, context + message}; }

  SysErrorKind kind() const { return code == 0 ? SysErrorKind::kNone : classify_os_error(code); }

  friend bool operator==(const SysError&, const SysError&) = default;
};

template <class T>
using SysResult = Expected<T, SysError>;
using SysStatus = Expected<void, SysError>;

// The one place that formats OS error text: the system's message for `code`
// (no trailing line break) followed by " (os error N)".
std::string os_error_text(int code);

// A read returned no bytes before the buffer was full.
inline constexpr const char* kShortReadText = "failed to fill whole buffer";
// A write was accepted with zero bytes.
inline constexpr const char* kZeroWriteText = "failed to write whole buffer";

}  // namespace dh
