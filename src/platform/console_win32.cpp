#include <windows.h>
#include <shellapi.h>

#include "platform/console.h"
#include "platform/win32_text.h"

namespace dh {

void suppress_system_error_dialogs() { SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX); }

std::vector<std::string> command_line_arguments(int, char**) {
  std::vector<std::string> out;
  int count = 0;
  wchar_t** wargv = CommandLineToArgvW(GetCommandLineW(), &count);
  if (wargv == nullptr) return out;
  for (int i = 0; i < count; ++i) out.push_back(narrow(wargv[i]));
  LocalFree(wargv);
  return out;
}

void write_stdout_line(std::string_view line) {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  if (out == nullptr || out == INVALID_HANDLE_VALUE) return;  // no standard output at all
  std::string data(line);
  data.push_back('\n');
  size_t done = 0;
  while (done < data.size()) {
    DWORD wrote = 0;
    if (!WriteFile(out, data.data() + done, static_cast<DWORD>(data.size() - done), &wrote, nullptr)) {
      if (GetLastError() == ERROR_INVALID_HANDLE) return;
      ExitProcess(1);
    }
    done += wrote;
  }
}

}  // namespace dh
