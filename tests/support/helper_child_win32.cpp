// Windows side of the helper child and the slow target: CreateProcessW with
// the standard handles given explicitly, and a named pipe served by the test.
#include <windows.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/process.h"
#include "platform/win32_handle.h"
#include "platform/win32_text.h"
#include "support/helper_child.h"
#include "support/test_support.h"

namespace dh::test {

struct HelperChild::State {
  ScopedHandle process;
  ScopedHandle out;  // the test's reading end
  std::optional<std::optional<int>> status;
  std::string error;
};

HelperChild::HelperChild(const std::vector<std::string>& args, ChildOutput output) : state_(std::make_unique<State>()) {
  State& s = *state_;
  auto fail = [&s] { s.error = "Windows error " + std::to_string(GetLastError()); };
  ScopedHandle child_out;
  if (output == ChildOutput::kPipe) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE r = nullptr, w = nullptr;
    if (!CreatePipe(&r, &w, &inherit, 0)) {
      fail();
      return;
    }
    s.out = ScopedHandle(r);
    child_out = ScopedHandle(w);
    SetHandleInformation(r, HANDLE_FLAG_INHERIT, 0);
  }
  std::string exe = helper_exe();
  std::string command_line = quote_windows_argument(exe);
  for (const auto& a : args) command_line += " " + quote_windows_argument(a);
  std::wstring wcmd = widen(command_line);
  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdOutput = output == ChildOutput::kPipe ? child_out.get() : nullptr;
  // No console either, or the child would reach the test's through it.
  DWORD flags = output == ChildOutput::kPipe ? CREATE_NO_WINDOW : DETACHED_PROCESS;
  PROCESS_INFORMATION pi{};
  if (!CreateProcessW(widen(exe).c_str(), wcmd.data(), nullptr, nullptr, output == ChildOutput::kPipe, flags, nullptr,
                      nullptr, &si, &pi)) {
    fail();
    return;
  }
  CloseHandle(pi.hThread);
  s.process = ScopedHandle(pi.hProcess);
}

HelperChild::~HelperChild() {
  if (state_->process.valid() && !state_->status) {
    TerminateProcess(state_->process.get(), 1);
    (void)wait();
  }
}

bool HelperChild::started() const { return state_->process.valid(); }
const std::string& HelperChild::error() const { return state_->error; }

std::string HelperChild::read_line() {
  std::string line;
  char c = 0;
  DWORD got = 0;
  while (state_->out.valid() && ReadFile(state_->out.get(), &c, 1, &got, nullptr) && got == 1 && c != '\n') {
    line += c;
  }
  return line;
}

void HelperChild::close_output() { state_->out.reset(); }

std::optional<int> HelperChild::wait() {
  if (state_->status) return *state_->status;
  DWORD code = 0;
  WaitForSingleObject(state_->process.get(), INFINITE);
  if (!GetExitCodeProcess(state_->process.get(), &code) || code >= 0xC0000000u) {
    state_->status = std::optional<int>();
  } else {
    state_->status = static_cast<int>(code);
  }
  return *state_->status;
}

namespace {

// The helper connects to the target twice (the query of what the path opens,
// then the write); the rest are spare.
constexpr int kPipeInstances = 4;

}  // namespace

struct SlowTarget::State {
  std::string path;
  std::string error;
  std::atomic<size_t> drained{0};
  // One instance of the pipe per possible client, each served by a thread
  // that waits for its client and then drains it until it goes away.
  ScopedHandle instances[kPipeInstances];
  std::atomic<bool> connected[kPipeInstances] = {};
  std::thread servers[kPipeInstances];
};

SlowTarget::SlowTarget() : state_(std::make_unique<State>()) {
  State& s = *state_;
  static std::atomic<int> counter{0};
  s.path = "\\\\.\\pipe\\disk-helper-test-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(counter++);
  std::wstring name = widen(s.path);
  for (int i = 0; i < kPipeInstances; ++i) {
    // The helper opens targets for reading and writing, so the pipe is
    // duplex; the first instance makes sure the name is ours.
    DWORD mode = PIPE_ACCESS_DUPLEX | (i == 0 ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
    s.instances[i] = ScopedHandle(CreateNamedPipeW(name.c_str(), mode, PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT,
                                                   PIPE_UNLIMITED_INSTANCES, 65536, 65536, 0, nullptr));
    if (!s.instances[i].valid()) {
      s.error = "cannot create the named pipe " + s.path + ": Windows error " + std::to_string(GetLastError());
      s.path.clear();
      return;
    }
  }
  for (int i = 0; i < kPipeInstances; ++i) {
    s.servers[i] = std::thread([&s, i] {
      HANDLE pipe = s.instances[i].get();
      if (!ConnectNamedPipe(pipe, nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) return;
      s.connected[i] = true;
      std::vector<char> buf(65536);
      DWORD n = 0;
      while (ReadFile(pipe, buf.data(), static_cast<DWORD>(buf.size()), &n, nullptr) && n > 0) {
        s.drained += n;
        std::this_thread::sleep_for(std::chrono::microseconds(n / 6));
      }
    });
  }
}

SlowTarget::~SlowTarget() { stop(); }

const std::string& SlowTarget::path() const { return state_->path; }
const std::string& SlowTarget::error() const { return state_->error; }
size_t SlowTarget::drained() const { return state_->drained; }

void SlowTarget::stop() {
  State& s = *state_;
  // A server still waiting for a client gets one that leaves at once, so
  // its wait ends; the others end when their client has gone.
  std::wstring name = widen(s.path);
  for (int i = 0; i < kPipeInstances; ++i) {
    if (!s.servers[i].joinable()) continue;
    if (!s.connected[i]) {
      ScopedHandle client(CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    }
  }
  for (auto& server : s.servers) {
    if (server.joinable()) server.join();
  }
}

}  // namespace dh::test
