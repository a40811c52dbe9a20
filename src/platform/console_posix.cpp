#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/console.h"

namespace dh {

void suppress_system_error_dialogs() {}

std::vector<std::string> command_line_arguments(int argc, char** argv) {
  // Standard streams that were closed at start are reopened on /dev/null, so
  // that no file the helper opens later (an image, a target) can take
  // descriptor 1 and receive output lines.
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) < 0 && errno == EBADF) {
      int null_fd = ::open("/dev/null", O_RDWR);
      if (null_fd >= 0 && null_fd != fd) {
        ::dup2(null_fd, fd);
        ::close(null_fd);
      }
    }
  }
  // A closed pipe must surface as a write error, not kill the process with a
  // signal.
  (void)::signal(SIGPIPE, SIG_IGN);  // fails only for an invalid signal number
  return std::vector<std::string>(argv, argv + argc);
}

void write_stdout_line(std::string_view line) {
  std::string data(line);
  data.push_back('\n');
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::write(1, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EBADF) return;  // no standard output at all
      std::_Exit(1);
    }
    done += static_cast<size_t>(n);
  }
}

}  // namespace dh
