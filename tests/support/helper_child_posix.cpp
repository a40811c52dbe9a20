// POSIX side of the helper child and the slow target: fork/exec with the
// child's descriptor 1 arranged by hand, and a pseudo-terminal.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "support/helper_child.h"
#include "support/test_support.h"

namespace dh::test {

struct HelperChild::State {
  pid_t pid = -1;
  int out = -1;  // the test's reading end
  std::optional<std::optional<int>> status;
  std::string error;
};

HelperChild::HelperChild(const std::vector<std::string>& args, ChildOutput output) : state_(std::make_unique<State>()) {
  int fds[2] = {-1, -1};
  if (output == ChildOutput::kPipe && pipe2(fds, O_CLOEXEC) != 0) {
    state_->error = std::strerror(errno);
    return;
  }
  std::string exe = helper_exe();
  std::vector<char*> argv{exe.data()};
  std::vector<std::string> copies(args);
  for (auto& a : copies) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    if (output == ChildOutput::kPipe) {
      dup2(fds[1], 1);
    } else {
      close(1);
    }
    execv(exe.c_str(), argv.data());
    _exit(127);
  }
  if (output == ChildOutput::kPipe) {
    close(fds[1]);
    state_->out = fds[0];
  }
  if (pid < 0) {
    state_->error = std::strerror(errno);
    return;
  }
  state_->pid = pid;
}

HelperChild::~HelperChild() {
  if (state_->pid > 0 && !state_->status) {
    kill(state_->pid, SIGKILL);
    (void)wait();
  }
  close_output();
}

bool HelperChild::started() const { return state_->pid > 0; }
const std::string& HelperChild::error() const { return state_->error; }

std::string HelperChild::read_line() {
  std::string line;
  char c = 0;
  while (state_->out >= 0 && read(state_->out, &c, 1) == 1 && c != '\n') line += c;
  return line;
}

void HelperChild::close_output() {
  if (state_->out >= 0) close(state_->out);
  state_->out = -1;
}

std::optional<int> HelperChild::wait() {
  if (state_->status) return *state_->status;
  int status = 0;
  while (waitpid(state_->pid, &status, 0) < 0 && errno == EINTR) {
  }
  state_->status = WIFEXITED(status) ? std::optional<int>(WEXITSTATUS(status)) : std::nullopt;
  return *state_->status;
}

struct SlowTarget::State {
  int master = -1;
  int slave = -1;
  std::string path;
  std::string error;
  std::atomic<size_t> drained{0};
  std::atomic<bool> stopping{false};
  std::thread drain;
};

SlowTarget::SlowTarget() : state_(std::make_unique<State>()) {
  State& s = *state_;
  s.master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (s.master < 0 || grantpt(s.master) != 0 || unlockpt(s.master) != 0) {
    s.error = std::string("no pseudo-terminals here: ") + std::strerror(errno);
    return;
  }
  std::string name = ptsname(s.master);
  // The test holds the terminal's other end open too, so that reading the
  // master does not fail before the helper has opened it. Raw mode passes
  // the image's bytes through unchanged.
  s.slave = open(name.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  termios raw{};
  if (s.slave < 0 || tcgetattr(s.slave, &raw) != 0) {
    s.error = std::string("cannot open the pseudo-terminal: ") + std::strerror(errno);
    return;
  }
  cfmakeraw(&raw);
  tcsetattr(s.slave, TCSANOW, &raw);
  s.path = name;
  s.drain = std::thread([&s] {
    std::vector<char> buf(65536);
    while (!s.stopping) {
      pollfd ready{s.master, POLLIN, 0};
      if (poll(&ready, 1, 50) <= 0) continue;
      ssize_t n = read(s.master, buf.data(), buf.size());
      if (n <= 0) break;
      s.drained += static_cast<size_t>(n);
      std::this_thread::sleep_for(std::chrono::microseconds(n / 6));
    }
  });
}

SlowTarget::~SlowTarget() {
  stop();
  if (state_->slave >= 0) close(state_->slave);
  if (state_->master >= 0) close(state_->master);
}

const std::string& SlowTarget::path() const { return state_->path; }
const std::string& SlowTarget::error() const { return state_->error; }
size_t SlowTarget::drained() const { return state_->drained; }

void SlowTarget::stop() {
  state_->stopping = true;
  if (state_->drain.joinable()) state_->drain.join();
}

}  // namespace dh::test
