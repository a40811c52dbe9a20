// Progress line format, the speed formula and the rate limit.
#include <gtest/gtest.h>

#include "progress/progress.h"

namespace dh {
namespace {

using namespace std::chrono;

TEST(Progress, LineHasSortedKeysAndCarriesSession) {
  ScopedProgressCapture capture;
  Progress progress("", "t-7", system_clock());
  progress.start_stage(2147483648u);
  progress.line("FINALIZE", 8388608, 41943040, "Flushing disk buffers");
  ASSERT_EQ(capture.lines().size(), 1u);
  EXPECT_EQ(capture.lines()[0],
            "{\"bytesProcessed\":8388608,\"bytesTotal\":2147483648,\"event\":\"progress\","
            "\"message\":\"Flushing disk buffers\",\"sessionId\":\"\",\"speedBps\":41943040,"
            "\"stage\":\"FINALIZE\",\"taskId\":\"t-7\"}");
}

TEST(Progress, SpeedUsesFloorsAndSaturates) {
  EXPECT_EQ(speed_bps(1000, microseconds(100)), 1000000u);  // 0.001 s floor
  EXPECT_EQ(speed_bps(1000000, milliseconds(500)), 2000000u);
  EXPECT_EQ(speed_bps(1000000, milliseconds(500), 1.0), 1000000u);
  EXPECT_EQ(speed_bps(0, nanoseconds(0)), 0u);
  EXPECT_EQ(speed_bps(UINT64_MAX, nanoseconds(1)), UINT64_MAX);  // saturates
  EXPECT_EQ(speed_bps(3, seconds(2)), 1u);
}

TEST(Progress, RateLimitFiresEveryHalfSecondAtMost) {
  steady_clock::time_point t0{};
  ProgressRateLimit rate(t0);
  EXPECT_FALSE(rate.due(t0 + milliseconds(499)));
  EXPECT_TRUE(rate.due(t0 + milliseconds(500)));
  EXPECT_FALSE(rate.due(t0 + milliseconds(999)));
  EXPECT_TRUE(rate.due(t0 + milliseconds(1000)));
  EXPECT_TRUE(rate.due(t0 + seconds(3)));
}

}  // namespace
}  // namespace dh
