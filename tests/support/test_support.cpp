#include "support/test_support.h"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>

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

TempDir::TempDir() {
  static std::atomic<int> counter{0};
  auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
  fs::path p = fs::temp_directory_path() /
               ("disk-helper-test-" + std::to_string(stamp) + "-" + std::to_string(counter++));
  fs::create_directories(p);
  path_ = to_utf8(p);
}

TempDir::~TempDir() {
  std::error_code ec;
  fs::remove_all(from_utf8(path_), ec);
}

std::string TempDir::file(const std::string& name) const { return to_utf8(from_utf8(path_) / from_utf8(name)); }

int open_handle_count() {
#ifdef _WIN32
  DWORD count = 0;
  GetProcessHandleCount(GetCurrentProcess(), &count);
  return static_cast<int>(count);
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

HelperRun run_helper_args(const std::vector<std::string>& args) {
  HelperRun run;
  auto result = run_process(helper_exe(), args);
  if (!result) {
    run.err = result.error().message;
    return run;
  }
  run.exit_code = result->exit_code;
  run.out = result->out;
  run.err = result->err;
  std::string line;
  std::istringstream in(run.out);
  while (std::getline(in, line)) run.lines.push_back(line);
  if (!run.lines.empty()) {
    run.response = nlohmann::json::parse(run.lines.back(), nullptr, false);
    if (run.response.is_discarded()) run.response = nullptr;
  }
  return run;
}

HelperRun run_helper(const nlohmann::json& request) { return run_helper_args({"--request", request.dump()}); }

HelperRun run_command(const std::string& command, const nlohmann::json& payload) {
  return run_helper({{"id", "t"}, {"sessionId", "s"}, {"command", command}, {"payload", payload}});
}

FakePowerShell::FakePowerShell()
    : dir_env_("FAKE_POWERSHELL_DIR", control_.path()),
      path_env_("PATH", to_utf8(from_utf8(native_path(FAKE_POWERSHELL_EXE)).parent_path()) + path_list_separator() +
                            get_env("PATH").value_or("")) {}

void FakePowerShell::answer(int call, const std::string& out, const std::string& err, int exit_code) {
  std::string prefix = call < 0 ? "default" : std::to_string(call);
  write_file(control_.file(prefix + ".stdout"), out);
  write_file(control_.file(prefix + ".stderr"), err);
  write_file(control_.file(prefix + ".exit"), std::to_string(exit_code));
}

void FakePowerShell::repeat(int call, int times) {
  write_file(control_.file((call < 0 ? "default" : std::to_string(call)) + ".repeat"), std::to_string(times));
}

int FakePowerShell::calls() const { return std::atoi(read_file(control_.file("calls")).c_str()); }

std::string FakePowerShell::script(int call) const {
  return read_file(control_.file(std::to_string(call) + ".script"));
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

NoPowerShell::NoPowerShell() : path_env_("PATH", empty_.path()) {}

}  // namespace dh::test
