// Win32 backend of the process runner: CreateProcessW with an explicit
// application path, both pipes drained (a thread per pipe).
#include <windows.h>

#include <string>
#include <thread>
#include <vector>

#include "platform/process.h"
#include "platform/win32_handle.h"
#include "platform/win32_text.h"

namespace dh {
namespace {

bool is_absolute_dir(const std::wstring& dir) {
  return (dir.size() >= 3 && dir[1] == L':' && (dir[2] == L'\\' || dir[2] == L'/')) ||
         (dir.size() >= 2 && dir[0] == L'\\' && dir[1] == L'\\');
}

void drain(HANDLE pipe, std::string* sink) {
  char buf[65536];
  DWORD got = 0;
  while (ReadFile(pipe, buf, sizeof buf, &got, nullptr) && got > 0) sink->append(buf, got);
}

}  // namespace

SysResult<std::string> find_program(const std::string& name) {
  std::wstring wname = widen(name);
  if (wname.find(L'.') == std::wstring::npos) wname += L".exe";
  std::wstring path = widen(get_env("PATH").value_or(""));
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find(L';', start);
    if (end == std::wstring::npos) end = path.size();
    std::wstring dir = path.substr(start, end - start);
    start = end + 1;
    if (dir.size() >= 2 && dir.front() == L'"' && dir.back() == L'"') dir = dir.substr(1, dir.size() - 2);
    if (dir.empty() || !is_absolute_dir(dir)) continue;  // never the working directory
    if (dir.back() != L'\\' && dir.back() != L'/') dir += L'\\';
    std::wstring candidate = dir + wname;
    DWORD attrs = GetFileAttributesW(candidate.c_str());
    if (attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DIRECTORY) == 0) return narrow(candidate);
  }
  return unexpected(SysError::from_os(ERROR_FILE_NOT_FOUND));
}

SysResult<ProcessOutput> run_process(const std::string& program, const std::vector<std::string>& args) {
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE raw_r = nullptr, raw_w = nullptr;
  if (!CreatePipe(&raw_r, &raw_w, &inherit, 0)) return unexpected(SysError::from_os(static_cast<int>(GetLastError())));
  ScopedHandle out_r(raw_r), out_w(raw_w);
  if (!CreatePipe(&raw_r, &raw_w, &inherit, 0)) return unexpected(SysError::from_os(static_cast<int>(GetLastError())));
  ScopedHandle err_r(raw_r), err_w(raw_w);
  SetHandleInformation(out_r.get(), HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(err_r.get(), HANDLE_FLAG_INHERIT, 0);
  ScopedHandle null_in(CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                   OPEN_EXISTING, 0, nullptr));
  if (!null_in.valid()) return unexpected(SysError::from_os(static_cast<int>(GetLastError())));

  std::string command_line = quote_windows_argument(program);
  for (const auto& a : args) command_line += " " + quote_windows_argument(a);
  std::wstring wcmd = widen(command_line);
  std::wstring wprogram = widen(program);

  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = null_in.get();
  si.hStdOutput = out_w.get();
  si.hStdError = err_w.get();
  PROCESS_INFORMATION pi{};
  if (!CreateProcessW(wprogram.c_str(), wcmd.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr,
                      &si, &pi)) {
    return unexpected(SysError::from_os(static_cast<int>(GetLastError())));
  }
  ScopedHandle process(pi.hProcess), thread(pi.hThread);
  // Our copies of the child's ends must go, or the reads never see the end.
  out_w.reset();
  err_w.reset();
  null_in.reset();

  ProcessOutput result;
  std::thread err_reader(drain, err_r.get(), &result.err);
  drain(out_r.get(), &result.out);
  err_reader.join();
  WaitForSingleObject(process.get(), INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(process.get(), &code);
  result.exit_code = static_cast<int>(code);
  return result;
}

std::optional<std::string> get_env(const std::string& name) {
  std::wstring wname = widen(name);
  DWORD n = GetEnvironmentVariableW(wname.c_str(), nullptr, 0);
  if (n == 0) return std::nullopt;
  std::wstring value(n, L'\0');
  n = GetEnvironmentVariableW(wname.c_str(), value.data(), n);
  value.resize(n);
  return narrow(value);
}

void set_env(const std::string& name, const std::string& value) {
  SetEnvironmentVariableW(widen(name).c_str(), widen(value).c_str());
}

}  // namespace dh
