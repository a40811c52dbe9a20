// POSIX backend of the process runner: posix_spawn into a process group of
// its own, poll on both pipes, and the group ended once the child has exited.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "platform/process.h"

extern char** environ;

namespace dh {
namespace {

struct Fd {
  int fd = -1;
  Fd() = default;
  explicit Fd(int f) : fd(f) {}
  ~Fd() { reset(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  void reset() {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
};

}  // namespace

SysResult<std::string> find_program(const std::string& name) {
  std::string path = get_env("PATH").value_or("");
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find(':', start);
    if (end == std::string::npos) end = path.size();
    std::string dir = path.substr(start, end - start);
    start = end + 1;
    if (dir.empty() || dir[0] != '/') continue;  // never the working directory
    std::string candidate = std::move(dir);
    candidate += '/';
    candidate += name;
    struct stat st {};
    if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(candidate.c_str(), X_OK) == 0) {
      return candidate;
    }
  }
  return unexpected(SysError::from_os(ENOENT));
}

SysResult<std::string> find_powershell() { return find_program("powershell"); }

SysResult<ProcessOutput> run_process(const std::string& program, const std::vector<std::string>& args) {
  int out_pipe[2];
  int err_pipe[2];
  if (::pipe2(out_pipe, O_CLOEXEC) != 0) return unexpected(SysError::last());
  Fd out_r(out_pipe[0]), out_w(out_pipe[1]);
  if (::pipe2(err_pipe, O_CLOEXEC) != 0) return unexpected(SysError::last());
  Fd err_r(err_pipe[0]), err_w(err_pipe[1]);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out_w.fd, 1);
  posix_spawn_file_actions_adddup2(&actions, err_w.fd, 2);
  // Only the three standard descriptors reach the child, as on Windows; the
  // helper's own descriptors are close-on-exec already, this also covers
  // any a library left inheritable.
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);

  // The helper ignores SIGPIPE for its own standard output; the child gets
  // the default back.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  // The child leads a process group of its own, which everything it starts
  // joins, so that what it leaves running can be ended with it (the job
  // object of the Windows backend).
  posix_spawnattr_setpgroup(&attr, 0);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);

  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  pid_t pid = 0;
  int rc = posix_spawn(&pid, program.c_str(), &actions, &attr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) return unexpected(SysError::from_os(rc));
  out_w.reset();
  err_w.reset();

  // The pipes are drained below while the child runs, but the call waits for
  // the child, not for the pipes' end: a process the child started and left
  // running holds inherited copies of the write ends and would keep the
  // pipes open as long as it lives. So once the child has exited its group
  // is ended, and the reads then come to their end with everything written
  // before. WNOWAIT leaves the child unreaped until then, so that its id,
  // which is the group's, cannot pass to another process before the kill.
  auto end_group_after_exit = [pid] {
    siginfo_t info{};
    while (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) < 0 && errno == EINTR) {
    }
    ::kill(-pid, SIGKILL);
  };
  std::thread group_ender;
  try {
    group_ender = std::thread(end_group_after_exit);
  } catch (...) {
    ::kill(-pid, SIGKILL);
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    throw;
  }

  ProcessOutput result;
  pollfd fds[2] = {{out_r.fd, POLLIN, 0}, {err_r.fd, POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int open_count = 2;
  char buf[65536];
  while (open_count > 0) {
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
      if (n > 0) {
        sinks[i]->append(buf, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        fds[i].fd = -1;
        --open_count;
      }
    }
  }

  group_ender.join();
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) {
    result.exit_code = WEXITSTATUS(status);
  } else {
    result.exit_code = 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
  }
  return result;
}

std::optional<std::string> get_env(const std::string& name) {
  const char* v = std::getenv(name.c_str());
  if (v == nullptr) return std::nullopt;
  return std::string(v);
}

void set_env(const std::string& name, const std::string& value) { ::setenv(name.c_str(), value.c_str(), 1); }

}  // namespace dh
