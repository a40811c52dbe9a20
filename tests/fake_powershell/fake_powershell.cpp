// A stand-in for powershell used by the tests. It records the arguments it
// received and answers as the test arranged, through files in the folder
// named by FAKE_POWERSHELL_DIR. Call k (0-based) writes k.script (the third
// argument) and k.args (one argument per line, JSON-escaped), then prints
// k.stdout and k.stderr (or default.stdout / default.stderr), each repeated
// k.repeat times, and exits with k.exit (or default.exit, or 0).
//
// It also writes k.pid (its process id) and k.program (the path it was
// started from), and, when arranged, waits k.sleep milliseconds before it
// answers and writes to k.probed what the handle (POSIX: file descriptor)
// numbered as in k.probe names in this process: the file's path, or
// "invalid" when no such handle was inherited.
//
// Like Windows PowerShell 5.1, it writes both streams in the console's OEM
// code page (437 here) unless the script first sets the output encoding to
// UTF-8 with exactly the statement in kUtf8OutputStatement; see
// to_code_page_437.
//
// With k.spawn arranged, it first starts a copy of itself that inherits its
// standard output and error and sleeps k.spawn milliseconds ("--linger N",
// which touches no control file), and leaves it running: the process a
// script starts and does not wait for.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>

#include <nlohmann/json.hpp>

#include "base/text.h"
#include "platform/console.h"
#include "platform/process.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include "platform/win32_text.h"
#else
#include <spawn.h>
#include <unistd.h>

#include <climits>

extern char** environ;
#endif
#include <thread>

namespace {

std::string read_file(const std::string& path, bool* found = nullptr) {
  std::ifstream in(path, std::ios::binary);
  if (found != nullptr) *found = static_cast<bool>(in);
  std::ostringstream s;
  if (in) s << in.rdbuf();
  return s.str();
}

void write_file(const std::string& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << data;
}

// A count or code from a control file; empty or unreadable text reads as 0.
int to_int(const std::string& text) { return static_cast<int>(std::strtol(text.c_str(), nullptr, 10)); }

std::string answer(const std::string& dir, int call, const std::string& what) {
  bool found = false;
  std::string data = read_file(dir + "/" + std::to_string(call) + "." + what, &found);
  if (!found) data = read_file(dir + "/default." + what, &found);
  return data;
}

// The statement that makes PowerShell write UTF-8 without a byte-order mark
// on both streams, as the runner puts it before every script.
constexpr std::string_view kUtf8OutputStatement =
    "[Console]::OutputEncoding = New-Object System.Text.UTF8Encoding $false; ";

// What Windows PowerShell 5.1 writes for `utf8` into a redirected stream when
// the script leaves the output encoding alone. It encodes with
// [Console]::OutputEncoding, of which Microsoft's .NET documentation
// (Console.OutputEncoding) says: "The console uses the output encoding to
// translate characters written by an application into corresponding console
// display characters. The default code page that the console uses is
// determined by the system locale": the OEM code page, 437 on a US system.
// A character the code page lacks becomes '?' (.NET's replacement fallback).
// The table holds the non-ASCII letters of 437 the tests use.
std::string to_code_page_437(const std::string& utf8) {
  static constexpr std::pair<char32_t, unsigned char> kTable[] = {
      {U'\u00C7', 0x80}, {U'\u00FC', 0x81}, {U'\u00E9', 0x82}, {U'\u00E4', 0x84}, {U'\u00E7', 0x87}, {U'\u00C4', 0x8E},
      {U'\u00C9', 0x90}, {U'\u00F6', 0x94}, {U'\u00D6', 0x99}, {U'\u00DC', 0x9A}, {U'\u00DF', 0xE1}};
  const std::string text = dh::utf8_lossy(utf8);
  std::string out;
  for (size_t pos = 0; pos < text.size();) {
    char32_t cp = dh::next_code_point(text, pos);
    char byte = '?';
    if (cp < 0x80) byte = static_cast<char>(cp);
    for (const auto& [from, to] : kTable) {
      if (cp == from) byte = static_cast<char>(to);
    }
    out.push_back(byte);
  }
  return out;
}

#ifdef _WIN32
std::string own_path() {
  wchar_t buffer[MAX_PATH];
  DWORD n = GetModuleFileNameW(nullptr, buffer, MAX_PATH);
  return dh::narrow(std::wstring(buffer, n));
}
std::string probe(const std::string& number) {
  // NOLINTNEXTLINE(performance-no-int-to-ptr): the test names the handle by its number.
  HANDLE h = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(std::strtoull(number.c_str(), nullptr, 10)));
  wchar_t buffer[MAX_PATH];
  DWORD n = GetFinalPathNameByHandleW(h, buffer, MAX_PATH, 0);
  return n == 0 || n >= MAX_PATH ? "invalid" : dh::narrow(std::wstring(buffer, n));
}
int process_id() { return static_cast<int>(GetCurrentProcessId()); }
// Starts this program with "--linger <milliseconds>", handing it this
// process's standard output and error, and does not wait for it.
bool spawn_lingering_copy(const std::string& milliseconds) {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
  SetHandleInformation(out, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
  SetHandleInformation(err, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
  const std::string self = own_path();
  std::wstring command = dh::widen(dh::quote_windows_argument(self) + " --linger " + milliseconds);
  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  si.hStdOutput = out;
  si.hStdError = err;
  PROCESS_INFORMATION pi{};
  if (!CreateProcessW(dh::widen(self).c_str(), command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) {
    return false;
  }
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return true;
}
#else
std::string link_target(const std::string& link) {
  char buffer[PATH_MAX];
  ssize_t n = ::readlink(link.c_str(), buffer, sizeof buffer);
  return n <= 0 ? "invalid" : std::string(buffer, static_cast<size_t>(n));
}
std::string own_path() { return link_target("/proc/self/exe"); }
std::string probe(const std::string& number) { return link_target("/proc/self/fd/" + number); }
int process_id() { return static_cast<int>(::getpid()); }
bool spawn_lingering_copy(const std::string& milliseconds) {
  const std::string self = own_path();
  std::string linger = "--linger";
  std::string time = milliseconds;
  char* argv[] = {const_cast<char*>(self.c_str()), linger.data(), time.data(), nullptr};
  pid_t pid = 0;
  return posix_spawn(&pid, self.c_str(), nullptr, nullptr, argv, environ) == 0;
}
#endif

}  // namespace

int main(int argc, char** argv) {
#ifdef _WIN32
  // Without a standard handle there is nothing to set; the writes below then fail.
  (void)_setmode(_fileno(stdout), _O_BINARY);
  (void)_setmode(_fileno(stderr), _O_BINARY);
#endif
  std::vector<std::string> args = dh::command_line_arguments(argc, argv);
  if (args.size() == 3 && args[1] == "--linger") {
    std::this_thread::sleep_for(std::chrono::milliseconds(std::strtol(args[2].c_str(), nullptr, 10)));
    return 0;
  }
  std::string dir = dh::get_env("FAKE_POWERSHELL_DIR").value_or("");
  if (dir.empty()) {
    (void)std::fputs("fake powershell: FAKE_POWERSHELL_DIR is not set\n", stderr);
    return 99;
  }
  int call = to_int(read_file(dir + "/calls"));
  write_file(dir + "/calls", std::to_string(call + 1));
  std::string prefix = dir + "/" + std::to_string(call);
  std::string recorded;
  for (size_t i = 1; i < args.size(); ++i) recorded += nlohmann::json(args[i]).dump() + "\n";
  write_file(prefix + ".args", recorded);
  write_file(prefix + ".script", args.size() > 3 ? args[3] : "");
  write_file(prefix + ".program", own_path());
  write_file(prefix + ".pid", std::to_string(process_id()));
  std::string probed = answer(dir, call, "probe");
  if (!probed.empty()) write_file(prefix + ".probed", probe(probed));
  std::string sleep_text = answer(dir, call, "sleep");
  if (!sleep_text.empty()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(std::strtol(sleep_text.c_str(), nullptr, 10)));
  }

  std::string spawn_text = answer(dir, call, "spawn");
  if (!spawn_text.empty() && !spawn_lingering_copy(spawn_text)) return 97;

  std::string out = answer(dir, call, "stdout");
  std::string err = answer(dir, call, "stderr");
  const bool utf8 = args.size() > 3 && args[3].rfind(kUtf8OutputStatement, 0) == 0;
  if (!utf8) {
    out = to_code_page_437(out);
    err = to_code_page_437(err);
  }
  std::string repeat_text = answer(dir, call, "repeat");
  int repeat = repeat_text.empty() ? 1 : to_int(repeat_text);
  // The runner drains both pipes to their end, so every write must arrive; a
  // failed one ends the fake with its own status for the test to see.
  bool written = true;
  for (int i = 0; i < repeat; ++i) {
    written = std::fwrite(out.data(), 1, out.size(), stdout) == out.size() && written;
    written = std::fwrite(err.data(), 1, err.size(), stderr) == err.size() && written;
  }
  written = std::fflush(stdout) == 0 && written;
  written = std::fflush(stderr) == 0 && written;
  if (!written) return 98;
  std::string exit_text = answer(dir, call, "exit");
  return exit_text.empty() ? 0 : to_int(exit_text);
}
