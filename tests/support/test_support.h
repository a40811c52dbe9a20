// Shared pieces of the tests: temporary folders, running the built helper,
// and the fake powershell.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace dh::test {

bool on_windows();

// A fresh folder under the system's temporary folder, removed with its
// contents on destruction. Paths are UTF-8.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  // path() joined with `name` by the platform's separator.
  std::string file(const std::string& name) const;

 private:
  std::string path_;
};

// The number of handles (POSIX: file descriptors) the process holds.
int open_handle_count();

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& data);
bool file_exists(const std::string& path);
// Root of the checked-in test data folder.
std::string test_data_dir();
// A Unix path handed over by the build, in the form the running platform
// opens (under Wine, "/a/b" becomes "Z:\a\b").
std::string native_path(const std::string& unix_path);

// Sets an environment variable for the lifetime of the object.
class ScopedEnv {
 public:
  ScopedEnv(std::string name, const std::string& value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> previous_;
};

struct HelperRun {
  int exit_code = -1;
  std::string out;
  std::string err;
  std::vector<std::string> lines;  // standard output split at "\n"
  nlohmann::json response;         // the last line, parsed (null if unparseable)
  // The response's payload member (null when absent).
  const nlohmann::json& payload() const;
};

std::string helper_exe();
HelperRun run_helper_args(const std::vector<std::string>& args);
HelperRun run_helper(const nlohmann::json& request);
// Runs `command` with `payload` as request id "t", session "s".
HelperRun run_command(const std::string& command, const nlohmann::json& payload);

// The fake powershell first on PATH for the lifetime of the object.
class FakePowerShell {
 public:
  FakePowerShell();
  FakePowerShell(const FakePowerShell&) = delete;
  FakePowerShell& operator=(const FakePowerShell&) = delete;

  // Answers for call `call` (0-based); a negative call sets the default.
  void answer(int call, const std::string& out, const std::string& err = "", int exit_code = 0);
  void repeat(int call, int times);
  int calls() const;
  std::string script(int call) const;
  std::vector<std::string> scripts() const;
  std::vector<std::string> args(int call) const;

 private:
  TempDir control_;
  ScopedEnv dir_env_;
  ScopedEnv path_env_;
};

// PATH holds only an empty folder: no powershell can be found.
class NoPowerShell {
 public:
  NoPowerShell();

 private:
  TempDir empty_;
  ScopedEnv path_env_;
};

}  // namespace dh::test
