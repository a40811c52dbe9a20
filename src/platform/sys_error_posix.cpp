#include <cerrno>
#include <cstring>
#include <string>

#include "platform/sys_error.h"

namespace dh {

SysError SysError::last() { return from_os(errno); }

std::string os_error_text(int code) {
  char buf[256] = {};
  // GNU strerror_r may return a static string instead of filling buf.
  const char* text = strerror_r(code, buf, sizeof buf);
  return std::string(text) + " (os error " + std::to_string(code) + ")";
}

namespace {

struct KindOfCode {
  int code;
  SysErrorKind kind;
};

constexpr KindOfCode kKinds[] = {
    {EACCES, SysErrorKind::kAccessDenied},
    {EPERM, SysErrorKind::kAccessDenied},
    {EBUSY, SysErrorKind::kSharingViolation},
    {ENOENT, SysErrorKind::kNotFound},
};

}  // namespace

SysErrorKind classify_os_error(int code) {
  for (const KindOfCode& entry : kKinds) {
    if (entry.code == code) return entry.kind;
  }
  return SysErrorKind::kOther;
}

int os_error_code(SysErrorKind kind) {
  for (const KindOfCode& entry : kKinds) {
    if (entry.kind == kind) return entry.code;
  }
  return 0;
}

}  // namespace dh
