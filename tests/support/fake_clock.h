// A clock for the tests: time moves only by `step` on each now() and by
// sleep(), which records the duration and returns at once.
#pragma once

#include <chrono>
#include <vector>

#include "platform/clock.h"

namespace dh::test {

// Models the monotonic clock the helper reads on Windows (the steady clock
// over QueryPerformanceCounter) and Sleep(): readings never go backwards, and
// a sleep of N ms leaves the clock at least N ms later.
class FakeClock final : public Clock {
 public:
  explicit FakeClock(std::chrono::milliseconds step = std::chrono::milliseconds(0)) : step_(step) {}
  std::chrono::steady_clock::time_point now() override {
    auto t = now_;
    now_ += step_;
    return t;
  }
  void sleep(std::chrono::milliseconds duration) override {
    sleeps.push_back(duration);
    now_ += duration;
  }
  // The sum of every sleep so far.
  std::chrono::milliseconds slept() const {
    std::chrono::milliseconds total{0};
    for (auto s : sleeps) total += s;
    return total;
  }
  std::vector<std::chrono::milliseconds> sleeps;

 private:
  std::chrono::milliseconds step_;
  std::chrono::steady_clock::time_point now_{};
};

}  // namespace dh::test
