// Win32 backend of the process runner: CreateProcessW with an explicit
// application path, a job object and an explicit list of inherited handles,
// both pipes drained (a thread per pipe) while the child runs, and the job
// ended once it has exited.
#include <windows.h>

#include <cstdint>
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

// A PROC_THREAD_ATTRIBUTE_LIST in storage of its own, deleted on every path.
class AttributeList {
 public:
  explicit AttributeList(SIZE_T size) : size_(size), storage_((size + 7) / 8) {}
  ~AttributeList() {
    if (initialized_) DeleteProcThreadAttributeList(get());
  }
  AttributeList(const AttributeList&) = delete;
  AttributeList& operator=(const AttributeList&) = delete;
  bool init() {
    initialized_ = InitializeProcThreadAttributeList(get(), 1, 0, &size_) != 0;
    return initialized_;
  }
  LPPROC_THREAD_ATTRIBUTE_LIST get() { return reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage_.data()); }

 private:
  SIZE_T size_;
  std::vector<uint64_t> storage_;  // 8-byte aligned, as the list needs
  bool initialized_ = false;
};

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

SysResult<std::string> find_powershell() {
  wchar_t dir[MAX_PATH];
  UINT length = GetSystemDirectoryW(dir, MAX_PATH);
  if (length == 0) return unexpected(SysError::last());
  if (length >= MAX_PATH) return unexpected(SysError::from_os(ERROR_BUFFER_OVERFLOW));
  std::wstring path = std::wstring(dir, length) + L"\\WindowsPowerShell\\v1.0\\powershell.exe";
  DWORD attrs = GetFileAttributesW(path.c_str());
  if (attrs == INVALID_FILE_ATTRIBUTES) return unexpected(SysError::last());
  if ((attrs & FILE_ATTRIBUTE_DIRECTORY) != 0) return unexpected(SysError::from_os(ERROR_FILE_NOT_FOUND));
  return narrow(path);
}

SysResult<ProcessOutput> run_process(const std::string& program, const std::vector<std::string>& args) {
  auto os_error = [] { return unexpected(SysError::last()); };
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE raw_r = nullptr, raw_w = nullptr;
  if (!CreatePipe(&raw_r, &raw_w, &inherit, 0)) return os_error();
  ScopedHandle out_r(raw_r), out_w(raw_w);
  if (!CreatePipe(&raw_r, &raw_w, &inherit, 0)) return os_error();
  ScopedHandle err_r(raw_r), err_w(raw_w);
  SetHandleInformation(out_r.get(), HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(err_r.get(), HANDLE_FLAG_INHERIT, 0);
  ScopedHandle null_in(
      CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr));
  if (!null_in.valid()) return os_error();

  // Closing the last handle to the job ends every process in it, so a helper
  // that is killed takes its PowerShell child (and whatever that started)
  // with it. The handle is not inheritable: the child must not keep its own
  // job alive.
  ScopedHandle job(CreateJobObjectW(nullptr, nullptr));
  if (!job.valid()) return os_error();
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  if (!SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
    return os_error();
  }

  // Only the three standard handles are inherited; without the list the child
  // would get every inheritable handle of the helper, its own standard output
  // included, and keep the caller's pipe open after the helper is gone.
  HANDLE inherited[3] = {null_in.get(), out_w.get(), err_w.get()};
  SIZE_T list_size = 0;
  InitializeProcThreadAttributeList(nullptr, 1, 0, &list_size);  // asks for the size; fails by design
  AttributeList attributes(list_size);
  if (!attributes.init() || !UpdateProcThreadAttribute(attributes.get(), 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST,
                                                       inherited, sizeof inherited, nullptr, nullptr)) {
    return os_error();
  }

  std::string command_line = quote_windows_argument(program);
  for (const auto& a : args) command_line += " " + quote_windows_argument(a);
  std::wstring wcmd = widen(command_line);
  std::wstring wprogram = widen(program);

  STARTUPINFOEXW si{};
  si.StartupInfo.cb = sizeof si;
  si.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  si.StartupInfo.hStdInput = null_in.get();
  si.StartupInfo.hStdOutput = out_w.get();
  si.StartupInfo.hStdError = err_w.get();
  si.lpAttributeList = attributes.get();
  PROCESS_INFORMATION pi{};
  // Suspended until it is in the job, so it cannot start anything outside it.
  if (!CreateProcessW(wprogram.c_str(), wcmd.data(), nullptr, nullptr, TRUE,
                      CREATE_NO_WINDOW | CREATE_SUSPENDED | EXTENDED_STARTUPINFO_PRESENT, nullptr, nullptr,
                      &si.StartupInfo, &pi)) {
    return os_error();
  }
  ScopedHandle process(pi.hProcess), thread(pi.hThread);
  if (!AssignProcessToJobObject(job.get(), process.get()) || ResumeThread(thread.get()) == static_cast<DWORD>(-1)) {
    DWORD err = GetLastError();
    TerminateProcess(process.get(), 1);
    return unexpected(SysError::from_os(static_cast<int>(err)));
  }
  // Our copies of the child's ends must go, or the reads never see the end.
  out_w.reset();
  err_w.reset();
  null_in.reset();

  // The pipes are read while the child runs, so that neither can fill and
  // stall it, but the call waits for the child, not for the pipes' end: a
  // process the child started and left running holds inherited copies of the
  // write ends and would keep the pipes open as long as it lives.
  ProcessOutput result;
  std::thread err_reader(drain, err_r.get(), &result.err);
  std::thread out_reader;
  try {
    out_reader = std::thread(drain, out_r.get(), &result.out);
  } catch (...) {
    TerminateJobObject(job.get(), 1);
    err_reader.join();
    throw;
  }
  DWORD code = 0;
  const bool exited =
      WaitForSingleObject(process.get(), INFINITE) == WAIT_OBJECT_0 && GetExitCodeProcess(process.get(), &code);
  const DWORD wait_error = exited ? 0 : GetLastError();
  // Whatever the child left running ends with its job, which closes the last
  // write ends: the reads then come to their end with everything written
  // before. Closing the job's handle ends them too, should terminating fail.
  if (!TerminateJobObject(job.get(), 1)) job.reset();
  out_reader.join();
  err_reader.join();
  if (!exited) {
    result.exit_code = -1;
    result.err = os_error_text(static_cast<int>(wait_error));
    return result;
  }
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
