#include "platform/clock.h"

#include <thread>

namespace dh {
namespace {

class SteadyClock final : public Clock {
 public:
  std::chrono::steady_clock::time_point now() override { return std::chrono::steady_clock::now(); }
  void sleep(std::chrono::milliseconds duration) override { std::this_thread::sleep_for(duration); }
};

}  // namespace

Clock& system_clock() {
  static SteadyClock clock;
  return clock;
}

}  // namespace dh
