#include <cerrno>
#include <cstring>
#include <string>

#include "platform/sys_error.h"

namespace dh {

int last_os_error() { return errno; }

std::string os_error_text(int code) {
  char buf[256] = {};
  // GNU strerror_r may return a static string instead of filling buf.
  const char* text = strerror_r(code, buf, sizeof buf);
  return std::string(text) + " (os error " + std::to_string(code) + ")";
}

bool is_access_denied(int code) { return code == EACCES || code == EPERM; }

}  // namespace dh
