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
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include <nlohmann/json.hpp>

#include "platform/console.h"
#include "platform/process.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include "platform/win32_text.h"
#else
#include <unistd.h>

#include <climits>
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
#else
std::string link_target(const std::string& link) {
  char buffer[PATH_MAX];
  ssize_t n = ::readlink(link.c_str(), buffer, sizeof buffer);
  return n <= 0 ? "invalid" : std::string(buffer, static_cast<size_t>(n));
}
std::string own_path() { return link_target("/proc/self/exe"); }
std::string probe(const std::string& number) { return link_target("/proc/self/fd/" + number); }
int process_id() { return static_cast<int>(::getpid()); }
#endif

}  // namespace

int main(int argc, char** argv) {
#ifdef _WIN32
  // Without a standard handle there is nothing to set; the writes below then fail.
  (void)_setmode(_fileno(stdout), _O_BINARY);
  (void)_setmode(_fileno(stderr), _O_BINARY);
#endif
  std::vector<std::string> args = dh::command_line_arguments(argc, argv);
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

  std::string out = answer(dir, call, "stdout");
  std::string err = answer(dir, call, "stderr");
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
