// Monotonic time and sleeping, replaceable in tests so retry loops run
// without really waiting.
#pragma once

#include <chrono>

namespace dh {

class Clock {
 public:
  virtual ~Clock() = default;
  virtual std::chrono::steady_clock::time_point now() = 0;
  virtual void sleep(std::chrono::milliseconds duration) = 0;
};

// The real monotonic clock.
Clock& system_clock();

}  // namespace dh
