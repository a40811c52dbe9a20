// What happens to a run when its standard output goes away: a closed pipe
// stops the helper at once; no standard output at all lets it finish.
// POSIX only: the test needs to control the child's descriptors itself.
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "support/test_support.h"

namespace dh {
namespace {

std::string write_request(const std::string& image, const std::string& target) {
  nlohmann::json request = {{"id", "w"},
                            {"sessionId", "s"},
                            {"command", "write_image"},
                            {"payload", {{"imagePath", image}, {"osDevicePath", target}, {"skipReadback", true}}}};
  return request.dump();
}

void make_image(const std::string& path, size_t mib) {
  std::string block(1 << 20, '\0');
  for (size_t i = 0; i < block.size(); i += 4096) block[i] = 'x';
  std::string data;
  for (size_t i = 0; i < mib; ++i) data += block;
  test::write_file(path, data);
}

int wait_for(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
  }
  return status;
}

// The target is a pseudo-terminal whose other end the test drains at a fixed,
// slow pace, so the write takes seconds however fast the machine is and
// progress lines keep coming while the test closes the pipe.
TEST(StdoutFaults, ClosedPipeStopsTheWriteAtOnce) {
  test::TempDir dir;
  const size_t mib = 128;
  std::string image = dir.file("image.img");
  make_image(image, mib);

  int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0) GTEST_SKIP() << "no pseudo-terminals here: " << std::strerror(errno);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  std::string target = ptsname(master);
  // The test holds the terminal's other end open too, so that reading the
  // master does not fail before the helper has opened it. Raw mode passes
  // the image's bytes through unchanged.
  int slave = open(target.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(slave, 0);
  termios raw{};
  ASSERT_EQ(tcgetattr(slave, &raw), 0);
  cfmakeraw(&raw);
  ASSERT_EQ(tcsetattr(slave, TCSANOW, &raw), 0);
  std::string request = write_request(image, target);

  int pipe_fds[2];
  ASSERT_EQ(pipe(pipe_fds), 0);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    dup2(pipe_fds[1], 1);
    close(pipe_fds[0]);
    close(pipe_fds[1]);
    std::string exe = test::helper_exe();
    execl(exe.c_str(), exe.c_str(), "--request", request.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(pipe_fds[1]);

  // About 6 MB/s: a 4 MiB chunk takes well over the 500 ms between progress
  // lines, and the whole image would take 20 s. Reading stops once the
  // helper has exited.
  std::atomic<size_t> drained{0};
  std::atomic<bool> helper_gone{false};
  std::thread drain([&] {
    std::vector<char> buf(65536);
    while (!helper_gone) {
      pollfd ready{master, POLLIN, 0};
      if (poll(&ready, 1, 50) <= 0) continue;
      ssize_t n = read(master, buf.data(), buf.size());
      if (n <= 0) break;
      drained += static_cast<size_t>(n);
      std::this_thread::sleep_for(std::chrono::microseconds(n / 6));
    }
  });

  // Wait for the first progress line, then walk away from the pipe.
  char c = 0;
  std::string first;
  while (read(pipe_fds[0], &c, 1) == 1 && c != '\n') first += c;
  close(pipe_fds[0]);
  int status = wait_for(pid);
  helper_gone = true;
  drain.join();
  close(slave);
  close(master);

  ASSERT_TRUE(WIFEXITED(status)) << "the helper must exit, not die of a signal";
  EXPECT_NE(WEXITSTATUS(status), 0);
  auto line = nlohmann::json::parse(first, nullptr, false);
  ASSERT_TRUE(line.is_object()) << first;
  EXPECT_EQ(line["stage"], "WRITE");
  // It stopped at the next line it could not print, long before the end.
  EXPECT_GT(drained.load(), 0u);
  EXPECT_LT(drained.load(), (mib << 20) / 4);
}

TEST(StdoutFaults, NoStandardOutputLetsTheRunFinish) {
  test::TempDir dir;
  std::string image = dir.file("image.img");
  std::string target = dir.file("target.img");
  make_image(image, 8);
  test::write_file(target, "");
  std::string request = write_request(image, target);

  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    close(1);
    std::string exe = test::helper_exe();
    execl(exe.c_str(), exe.c_str(), "--request", request.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = wait_for(pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(test::read_file(target), test::read_file(image));
}

}  // namespace
}  // namespace dh
