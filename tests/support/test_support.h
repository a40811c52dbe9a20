// Shared pieces of the tests: temporary folders, running the built helper,
// and the fake powershell.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/file.h"
#include "powershell/powershell.h"

namespace dh::test {

bool on_windows();
// True when the Windows build runs under Wine.
bool under_wine();

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

// The number of handles (POSIX: file descriptors) the process holds; -1
// when the system does not tell.
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

// The implicit default constructor builds a null json, which cannot throw; the
// check only sees that json's constructor throws for other kinds of value.
// NOLINTNEXTLINE(bugprone-exception-escape)
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
// Fills run.lines from run.out and parses the last line into run.response.
void split_lines(HelperRun& run);
// The request run_command sends: id "t", session "s".
nlohmann::json command_request(const std::string& command, const nlohmann::json& payload);
HelperRun run_helper_args(const std::vector<std::string>& args);
HelperRun run_helper(const nlohmann::json& request);
// Runs `command` with `payload` as request id "t", session "s".
HelperRun run_command(const std::string& command, const nlohmann::json& payload);
// The same request handled in this process, answer line and all, so that the
// process's doubles (NoPowerShell, ScopedFileSystem...) take part. Defined in
// the disk_helper_test_run library, which brings every module.
HelperRun run_command_here(const std::string& command, const nlohmann::json& payload);

// The fake powershell, where the helper looks for PowerShell, for the
// lifetime of the object: first on PATH on POSIX; on Windows under Wine at
// the system's own path inside the test build's Wine prefix (planted once,
// shared by parallel tests, which each read their own FAKE_POWERSHELL_DIR).
// On a real Windows machine nothing is planted in the system folder: only
// runs in this process use the fake there.
class FakePowerShell {
 public:
  FakePowerShell();
  FakePowerShell(const FakePowerShell&) = delete;
  FakePowerShell& operator=(const FakePowerShell&) = delete;

  // Answers for call `call` (0-based); a negative call sets the default.
  void answer(int call, const std::string& out, const std::string& err = "", int exit_code = 0);
  void repeat(int call, int times);
  int calls() const;
  // The script of call `call` as its caller gave it to run_powershell: the
  // -Command argument without the kUtf8OutputStatement the runner puts
  // before it. An argument that does not start with that statement fails the
  // test (and comes back whole).
  std::string script(int call) const;
  std::vector<std::string> scripts() const;
  // The arguments of call `call` exactly as the program received them.
  std::vector<std::string> args(int call) const;
  // Call `call` sleeps this long before it answers.
  void sleep(int call, int milliseconds);
  // Call `call` reports what handle (POSIX: descriptor) `number` names in it.
  void probe(int call, uint64_t number);
  // Call `call` first starts a process that inherits its standard output and
  // error and sleeps `milliseconds`, and leaves it running.
  void spawn(int call, int milliseconds);
  // The path call `call` was started from, its process id, and what the
  // probed handle named there ("invalid": nothing was inherited).
  std::string program(int call) const;
  int pid(int call) const;
  std::string probed(int call) const;
  // The full path of the fake program as built.
  static std::string built_path();

 private:
  TempDir control_;
  ScopedEnv dir_env_;
  ScopedEnv path_env_;
  std::optional<ScopedPowerShellProgram> in_process_;
};

// No PowerShell can be started: PATH holds only an empty folder (POSIX
// children), and run_powershell in this process starts a program that does
// not exist. Under Windows only runs in this process see it (see
// run_command_here): a child helper always finds the system's PowerShell.
class NoPowerShell {
 public:
  NoPowerShell();

 private:
  TempDir empty_;
  ScopedEnv path_env_;
  ScopedPowerShellProgram absent_;
};

}  // namespace dh::test
