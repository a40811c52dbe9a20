// What happens to a run when its standard output goes away: a closed pipe
// stops the helper at once; no standard output at all lets it finish.
// POSIX only: the test needs to control the child's descriptors itself.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
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

// An image large enough that writing it through O_DSYNC takes a few seconds,
// so progress lines keep coming while the test closes the pipe.
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

TEST(StdoutFaults, ClosedPipeStopsTheWriteAtOnce) {
  test::TempDir dir;
  const size_t mib = 256;
  std::string image = dir.file("image.img");
  std::string target = dir.file("target.img");
  make_image(image, mib);
  test::write_file(target, "");
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
  // Wait for the first progress line, then walk away from the pipe.
  char c = 0;
  std::string first;
  while (read(pipe_fds[0], &c, 1) == 1 && c != '\n') first += c;
  close(pipe_fds[0]);
  int status = wait_for(pid);

  ASSERT_TRUE(WIFEXITED(status)) << "the helper must exit, not die of a signal";
  EXPECT_NE(WEXITSTATUS(status), 0);
  auto line = nlohmann::json::parse(first, nullptr, false);
  ASSERT_TRUE(line.is_object()) << first;
  EXPECT_EQ(line["stage"], "WRITE");
  // It stopped at the next line it could not print, long before the end.
  std::string written = test::read_file(target);
  EXPECT_LT(written.size(), mib << 20);
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
