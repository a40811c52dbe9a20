#include <windows.h>

#include <string>

#include "platform/sys_error.h"
#include "platform/win32_text.h"

namespace dh {

SysError SysError::last() { return from_os(static_cast<int>(GetLastError())); }

std::string os_error_text(int code) {
  wchar_t* buffer = nullptr;
  DWORD len =
      FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                     nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::wstring text;
  if (len > 0 && buffer != nullptr) text.assign(buffer, len);
  if (buffer != nullptr) LocalFree(buffer);
  while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' ')) text.pop_back();
  std::string message = text.empty() ? "Unknown error " + std::to_string(code) : narrow(text);
  return message + " (os error " + std::to_string(code) + ")";
}

namespace {

struct KindOfCode {
  int code;
  SysErrorKind kind;
};

constexpr KindOfCode kKinds[] = {
    {ERROR_ACCESS_DENIED, SysErrorKind::kAccessDenied},
    {10013, SysErrorKind::kAccessDenied},  // WSAEACCES
    {ERROR_SHARING_VIOLATION, SysErrorKind::kSharingViolation},
    {ERROR_FILE_NOT_FOUND, SysErrorKind::kNotFound},
    {ERROR_PATH_NOT_FOUND, SysErrorKind::kNotFound},
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

std::wstring widen(std::string_view utf8) {
  if (utf8.empty()) return {};
  int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
  return out;
}

std::string narrow(std::wstring_view utf16) {
  std::string out;
  out.reserve(utf16.size());
  for (size_t i = 0; i < utf16.size(); ++i) {
    char32_t cp = utf16[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 && utf16[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (static_cast<char32_t>(utf16[i + 1]) - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = 0xFFFD;
    }
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }
  return out;
}

}  // namespace dh
