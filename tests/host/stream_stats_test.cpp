#include "stream_stats.h"

#include <gtest/gtest.h>

namespace zarnhost {
namespace {

using namespace std::chrono_literals;

TEST(StreamStatsTest, RatesFollowArrivalTimes) {
    StreamStats stats(2s);
    const auto t0 = StreamStats::Clock::time_point{} + 100s;
    EXPECT_EQ(stats.Fps(), 0.0);
    // 26 frames 40 ms apart: 25 intervals in one second; 1000 bytes each.
    for (int i = 0; i <= 25; ++i) {
        stats.AddFrame(1000, i % 25 == 0, 704, 576, t0 + i * 40ms);
    }
    EXPECT_EQ(stats.Frames(), 26u);
    EXPECT_EQ(stats.KeyFrames(), 2u);
    EXPECT_EQ(stats.Bytes(), 26000u);
    EXPECT_EQ(stats.Width(), 704u);
    EXPECT_DOUBLE_EQ(stats.Duration(), 1.0);
    EXPECT_DOUBLE_EQ(stats.Fps(), 25.0);
    EXPECT_DOUBLE_EQ(stats.WindowFps(t0 + 1s), 25.0);
    EXPECT_DOUBLE_EQ(stats.WindowKbps(t0 + 1s), 25 * 8.0);
}

TEST(StreamStatsTest, WindowForgetsOldFramesButTotalsKeepThem) {
    StreamStats stats(1s);
    const auto t0 = StreamStats::Clock::time_point{} + 100s;
    for (int i = 0; i < 10; ++i) stats.AddFrame(500, false, 0, 0, t0 + i * 10ms);
    // Ten seconds later the window is empty; a frame without a size keeps the last known one.
    EXPECT_EQ(stats.WindowFps(t0 + 10s), 0.0);
    EXPECT_EQ(stats.Frames(), 10u);
    EXPECT_EQ(stats.Width(), 0u);
    stats.AddFrame(500, true, 352, 288, t0 + 10s);
    stats.AddFrame(500, false, 0, 0, t0 + 10s + 100ms);
    EXPECT_EQ(stats.Width(), 352u);
    EXPECT_EQ(stats.Height(), 288u);
    EXPECT_NEAR(stats.WindowFps(t0 + 10s + 100ms), 10.0, 1e-9);
}

}  // namespace
}  // namespace zarnhost
