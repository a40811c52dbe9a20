#include "support/test_support.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <vector>

#include <gtest/gtest.h>

#include "base/text.h"
#include "platform/process.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace dh::test {
namespace fs = std::filesystem;

namespace {

std::string to_utf8(const fs::path& p) {
  auto u8 = p.u8string();
  return std::string(u8.begin(), u8.end());
}

fs::path from_utf8(const std::string& s) { return fs::path(std::u8string(s.begin(), s.end())); }

char path_list_separator() { return on_windows() ? ';' : ':'; }

}  // namespace

bool on_windows() {
#ifdef _WIN32
  return true;
#else
  return false;
#endif
}

bool under_wine() {
#ifdef _WIN32
  return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
#else
  return false;
#endif
}

TempDir::TempDir() {
  static std::atomic<int> counter{0};
  auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
  fs::path p =
      fs::temp_directory_path() / ("disk-helper-test-" + std::to_string(stamp) + "-" + std::to_string(counter++));
  fs::create_directories(p);
  path_ = to_utf8(p);
}

TempDir::~TempDir() {
  std::error_code ec;
  fs::remove_all(from_utf8(path_), ec);
}

std::string TempDir::file(const std::string& name) const { return to_utf8(from_utf8(path_) / from_utf8(name)); }

#ifdef _WIN32
namespace {

// SYSTEM_HANDLE_TABLE_ENTRY_INFO_EX and SYSTEM_HANDLE_INFORMATION_EX, which
// the SDK headers do not declare: the answer to SystemExtendedHandleInformation.
struct SystemHandleEntry {
  void* object;
  ULONG_PTR process_id;
  ULONG_PTR handle_value;
  ULONG granted_access;
  USHORT creator_back_trace_index;
  USHORT object_type_index;
  ULONG handle_attributes;
  ULONG reserved;
};
struct SystemHandleTable {
  ULONG_PTR count;
  ULONG_PTR reserved;
  SystemHandleEntry entries[1];
};
constexpr ULONG kSystemExtendedHandleInformation = 64;
constexpr LONG kStatusInfoLengthMismatch = static_cast<LONG>(0xC0000004);

// The entries of the system's handle table that belong to this process; -1
// when the table cannot be read.
int handles_in_system_table() {
  using Query = LONG(WINAPI*)(ULONG, void*, ULONG, ULONG*);
  auto query = reinterpret_cast<Query>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
  if (query == nullptr) return -1;
  std::vector<unsigned char> buffer(1 << 16);
  ULONG needed = 0;
  LONG status = 0;
  while ((status = query(kSystemExtendedHandleInformation, buffer.data(), static_cast<ULONG>(buffer.size()),
                         &needed)) == kStatusInfoLengthMismatch) {
    buffer.resize(std::max<size_t>(buffer.size() * 2, needed + 4096));
  }
  if (status < 0) return -1;
  const auto* table = reinterpret_cast<const SystemHandleTable*>(buffer.data());
  const ULONG_PTR self = GetCurrentProcessId();
  int count = 0;
  for (ULONG_PTR i = 0; i < table->count; ++i) count += table->entries[i].process_id == self ? 1 : 0;
  return count;
}

}  // namespace
#endif

int open_handle_count() {
#ifdef _WIN32
  // Wine's GetProcessHandleCount succeeds with 0 whatever the process holds;
  // its system handle table lists every handle of every process, as
  // Windows' does.
  DWORD count = 0;
  if (GetProcessHandleCount(GetCurrentProcess(), &count) && count > 0) return static_cast<int>(count);
  return handles_in_system_table();
#else
  int count = 0;
  std::error_code ec;
  for (auto it = fs::directory_iterator("/proc/self/fd", ec); !ec && it != fs::directory_iterator(); it.increment(ec)) {
    ++count;
  }
  return count;
#endif
}

std::string read_file(const std::string& path) {
  std::ifstream in(from_utf8(path), std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void write_file(const std::string& path, const std::string& data) {
  std::ofstream out(from_utf8(path), std::ios::binary | std::ios::trunc);
  out << data;
}

bool file_exists(const std::string& path) {
  std::error_code ec;
  return fs::exists(from_utf8(path), ec);
}

std::string native_path(const std::string& unix_path) {
  if (!on_windows() || unix_path.empty() || unix_path[0] != '/') return unix_path;
  std::string out = "Z:" + unix_path;
  for (char& c : out) {
    if (c == '/') c = '\\';
  }
  return out;
}

std::string test_data_dir() { return native_path(TEST_DATA_DIR); }

ScopedEnv::ScopedEnv(std::string name, const std::string& value) : name_(std::move(name)), previous_(get_env(name_)) {
  set_env(name_, value);
}

ScopedEnv::~ScopedEnv() { set_env(name_, previous_.value_or("")); }

const nlohmann::json& HelperRun::payload() const {
  static const nlohmann::json kNull;
  if (!response.is_object() || !response.contains("payload")) return kNull;
  return response["payload"];
}

std::string helper_exe() { return native_path(DISK_HELPER_EXE); }

void split_lines(HelperRun& run) {
  std::string line;
  std::istringstream in(run.out);
  while (std::getline(in, line)) run.lines.push_back(line);
  if (!run.lines.empty()) {
    run.response = nlohmann::json::parse(run.lines.back(), nullptr, false);
    if (run.response.is_discarded()) run.response = nullptr;
  }
}

HelperRun run_helper_args(const std::vector<std::string>& args) {
  HelperRun run;
  auto result = run_process(helper_exe(), args);
  if (!result) {
    run.err = result.error().message;
    std::cerr << "helper child could not be started: " << run.err << "\n";
    return run;
  }
  run.exit_code = result->exit_code;
  run.out = result->out;
  run.err = result->err;
  split_lines(run);
  if (run.out.empty()) {
    // Every run ends in a response line; when there is none, the exit status and
    // standard error are all that can tell why.
    std::cerr << "helper child printed nothing: exit status " << run.exit_code << ", standard error \"" << run.err
              << "\"\n";
  }
  return run;
}

HelperRun run_helper(const nlohmann::json& request) { return run_helper_args({"--request", request.dump()}); }

nlohmann::json command_request(const std::string& command, const nlohmann::json& payload) {
  return {{"id", "t"}, {"sessionId", "s"}, {"command", command}, {"payload", payload}};
}

HelperRun run_command(const std::string& command, const nlohmann::json& payload) {
  return run_helper(command_request(command, payload));
}

namespace {

#ifdef _WIN32
bool same_contents(const fs::path& a, const fs::path& b) {
  std::error_code ec;
  if (!fs::exists(b, ec) || fs::file_size(a, ec) != fs::file_size(b, ec)) return false;
  return read_file(to_utf8(a)) == read_file(to_utf8(b));
}

// The helper starts only the system's own PowerShell. Under Wine the test
// build's prefix is ours, so the fake goes exactly there, replacing Wine's
// stub; parallel test binaries find it planted, or plant the same bytes.
void plant_fake_powershell() {
  wchar_t dir[MAX_PATH];
  UINT length = GetSystemDirectoryW(dir, MAX_PATH);
  ASSERT_TRUE(length > 0 && length < MAX_PATH);
  fs::path target = fs::path(std::wstring(dir, length)) / L"WindowsPowerShell" / L"v1.0" / L"powershell.exe";
  fs::path source = from_utf8(FakePowerShell::built_path());
  if (same_contents(source, target)) return;
  fs::create_directories(target.parent_path());
  fs::path temp = target;
  temp += L"." + std::to_wstring(GetCurrentProcessId()) + L".new";
  fs::copy_file(source, temp, fs::copy_options::overwrite_existing);
  if (!MoveFileExW(temp.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)) {
    std::error_code ec;
    fs::remove(temp, ec);
  }
  ASSERT_TRUE(same_contents(source, target)) << "cannot plant the fake PowerShell at " << to_utf8(target);
}
#endif

}  // namespace

std::string FakePowerShell::built_path() { return native_path(FAKE_POWERSHELL_EXE); }

FakePowerShell::FakePowerShell()
    : dir_env_("FAKE_POWERSHELL_DIR", control_.path()),
      path_env_("PATH",
                to_utf8(from_utf8(built_path()).parent_path()) + path_list_separator() + get_env("PATH").value_or("")) {
#ifdef _WIN32
  if (under_wine()) {
    plant_fake_powershell();
  } else {
    in_process_.emplace(built_path());
  }
#endif
}

void FakePowerShell::sleep(int call, int milliseconds) {
  write_file(control_.file(std::to_string(call) + ".sleep"), std::to_string(milliseconds));
}

void FakePowerShell::probe(int call, uint64_t number) {
  write_file(control_.file(std::to_string(call) + ".probe"), std::to_string(number));
}

void FakePowerShell::spawn(int call, int milliseconds) {
  write_file(control_.file(std::to_string(call) + ".spawn"), std::to_string(milliseconds));
}

std::string FakePowerShell::program(int call) const {
  return read_file(control_.file(std::to_string(call) + ".program"));
}

int FakePowerShell::pid(int call) const {
  return static_cast<int>(std::strtol(read_file(control_.file(std::to_string(call) + ".pid")).c_str(), nullptr, 10));
}

std::string FakePowerShell::probed(int call) const {
  return read_file(control_.file(std::to_string(call) + ".probed"));
}

void FakePowerShell::answer(int call, const std::string& out, const std::string& err, int exit_code) {
  std::string prefix = call < 0 ? "default" : std::to_string(call);
  write_file(control_.file(prefix + ".stdout"), out);
  write_file(control_.file(prefix + ".stderr"), err);
  write_file(control_.file(prefix + ".exit"), std::to_string(exit_code));
}

void FakePowerShell::repeat(int call, int times) {
  write_file(control_.file((call < 0 ? "default" : std::to_string(call)) + ".repeat"), std::to_string(times));
}

int FakePowerShell::calls() const {
  return static_cast<int>(std::strtol(read_file(control_.file("calls")).c_str(), nullptr, 10));
}

std::string FakePowerShell::script(int call) const {
  std::string recorded = read_file(control_.file(std::to_string(call) + ".script"));
  if (recorded.rfind(kUtf8OutputStatement, 0) != 0) {
    ADD_FAILURE() << "PowerShell call " << call << " did not start with the UTF-8 output statement: " << recorded;
    return recorded;
  }
  return recorded.substr(kUtf8OutputStatement.size());
}

std::vector<std::string> FakePowerShell::scripts() const {
  std::vector<std::string> out;
  for (int i = 0; i < calls(); ++i) out.push_back(script(i));
  return out;
}

std::vector<std::string> FakePowerShell::args(int call) const {
  std::vector<std::string> out;
  std::istringstream in(read_file(control_.file(std::to_string(call) + ".args")));
  std::string line;
  while (std::getline(in, line)) out.push_back(nlohmann::json::parse(line).get<std::string>());
  return out;
}

NoPowerShell::NoPowerShell()
    : path_env_("PATH", empty_.path()), absent_(empty_.file(on_windows() ? "powershell.exe" : "powershell")) {}

}  // namespace dh::test
