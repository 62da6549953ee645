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

// Gaps: a pause mid-stream and the silence after the last frame count; start-up and a run that
// ends with its last frame do not; jitter below the threshold is no gap.
TEST(StreamStatsTest, GapsCountStretchesWithoutFramesAfterTheFirst) {
    StreamStats stats(2s);
    stats.SetGapThreshold(1s);
    const auto t0 = StreamStats::Clock::time_point{} + 100s;
    stats.Finish(t0);  // nothing received: nothing to judge
    EXPECT_EQ(stats.Gaps(), 0u);
    for (int i = 0; i < 25; ++i) stats.AddFrame(100, false, 704, 576, t0 + 5s + i * 40ms);
    stats.AddFrame(100, false, 704, 576, t0 + 5s + 24 * 40ms + 900ms);  // jitter, no gap
    EXPECT_EQ(stats.Gaps(), 0u);
    const auto resumed = t0 + 5s + 24 * 40ms + 900ms + 5600ms;
    stats.AddFrame(100, true, 704, 576, resumed);
    EXPECT_EQ(stats.Gaps(), 1u);
    EXPECT_NEAR(stats.MissingSeconds(), 5.6, 1e-9);
    EXPECT_NEAR(stats.LongestGapAfterSeconds(), 1.86, 1e-9);
    // The camera dies; the run ends 3 s later.
    stats.Finish(resumed + 3s);
    stats.Finish(resumed + 10s);  // once only
    EXPECT_EQ(stats.Gaps(), 2u);
    EXPECT_NEAR(stats.MissingSeconds(), 8.6, 1e-9);
    EXPECT_NEAR(stats.LongestGapSeconds(), 5.6, 1e-9);
}

}  // namespace
}  // namespace zarnhost
