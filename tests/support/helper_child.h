// The built helper as a child process whose standard output the test holds,
// and a target that takes written bytes slowly: for the tests of what a run
// does when its standard output goes away.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace dh::test {

// Where the child's standard output goes.
enum class ChildOutput {
  // A pipe whose reading end the test holds.
  kPipe,
  // None at all: POSIX closes descriptor 1; Windows passes no standard
  // handles and no console, as a program without a console starts it.
  kNone,
};

// The built helper, started with `args`.
class HelperChild {
 public:
  HelperChild(const std::vector<std::string>& args, ChildOutput output);
  // Ends a child that is still running, then waits for it.
  ~HelperChild();
  HelperChild(const HelperChild&) = delete;
  HelperChild& operator=(const HelperChild&) = delete;

  // False when the child could not be started; error() tells why.
  bool started() const;
  const std::string& error() const;
  // Standard output up to the next "\n" (not included), or up to its end.
  std::string read_line();
  // Closes the test's reading end of the pipe.
  void close_output();
  // Waits for the child's exit: its exit status, or nothing when it was
  // ended by a signal (POSIX) or by an exception (Windows: an exit code that
  // is an NTSTATUS error, 0xC0000000 and above).
  std::optional<int> wait();

  struct State;

 private:
  std::unique_ptr<State> state_;
};

// A target path whose other end the test drains at about 6 MB/s, whatever the
// machine's speed, counting the bytes: a pseudo-terminal in raw mode (POSIX),
// a named pipe (Windows). Declare it before the HelperChild that writes to
// it, so the child is gone before draining stops.
class SlowTarget {
 public:
  SlowTarget();
  ~SlowTarget();
  SlowTarget(const SlowTarget&) = delete;
  SlowTarget& operator=(const SlowTarget&) = delete;

  // Empty when the system offers no such target; error() tells why.
  const std::string& path() const;
  const std::string& error() const;
  size_t drained() const;
  // Stops draining; call it once every writer has gone.
  void stop();

  struct State;

 private:
  std::unique_ptr<State> state_;
};

}  // namespace dh::test
