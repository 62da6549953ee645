// The pacing schedule: even spacing, the worked waits, and catching up after a stall only while
// frames are queued.
#include "media/catch_up_schedule.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace {

using talvane::CCatchUpSchedule;

constexpr uint32_t kPeriod = 40;
constexpr uint64_t kStart = 100000;

// Frames ready at `ready` go as the stream reader hands them over: it sleeps until the next frame
// is due, so a frame is complete at the later of that time and its own. Returns when each went.
std::vector<uint64_t> Deliver(CCatchUpSchedule& schedule, const std::vector<uint64_t>& ready) {
    std::vector<uint64_t> went;
    for (const uint64_t r : ready) {
        uint64_t now = std::max(r, schedule.NextDueMs());
        now += schedule.OnFrameReady(now, kPeriod);
        went.push_back(now);
    }
    return went;
}

// A camera sending picture j at kStart + j * kPeriod, except that the pictures sent during
// [stallFrom, stallFrom + stallFrames) arrive only at the end of the stall (held) or never (lost).
std::vector<uint64_t> CameraWithStall(int frames, int stallFrom, int stallFrames, bool held) {
    std::vector<uint64_t> ready;
    const uint64_t stallEnd = kStart + uint64_t{kPeriod} * (stallFrom + stallFrames);
    for (int j = 0; j < frames; ++j) {
        const uint64_t sent = kStart + uint64_t{kPeriod} * j;
        if (j >= stallFrom && j < stallFrom + stallFrames) {
            if (held) ready.push_back(stallEnd);
        } else {
            ready.push_back(sent);
        }
    }
    return ready;
}

TEST(CatchUpScheduleTest, FramesWaitForTheirTurnOnTheWorkedCases) {
    CCatchUpSchedule schedule;
    EXPECT_EQ(schedule.NextDueMs(), 0u);
    EXPECT_EQ(schedule.OnFrameReady(kStart, kPeriod), 0u);  // the first starts the schedule
    EXPECT_EQ(schedule.NextDueMs(), kStart + 40);
    EXPECT_EQ(schedule.OnFrameReady(kStart + 15, kPeriod), 25u);
    EXPECT_EQ(schedule.OnFrameReady(kStart + 40 + 50, kPeriod), 0u);
    // A changed period starts a new schedule.
    EXPECT_EQ(schedule.OnFrameReady(kStart + 100, 80), 0u);
    EXPECT_EQ(schedule.NextDueMs(), kStart + 180);
    schedule.Restart();
    EXPECT_EQ(schedule.NextDueMs(), 0u);
}

TEST(CatchUpScheduleTest, HeldFramesAfterAStallDrainAtAQuarterPeriodAFrame) {
    CCatchUpSchedule schedule;
    // 25 pictures (one second) held, then sent at once.
    const std::vector<uint64_t> ready = CameraWithStall(400, 50, 25, true);
    const std::vector<uint64_t> went = Deliver(schedule, ready);
    ASSERT_EQ(went.size(), 400u);
    std::vector<int64_t> delay;
    for (size_t j = 0; j < went.size(); ++j) {
        delay.push_back(static_cast<int64_t>(went[j] - (kStart + kPeriod * j)));
    }
    EXPECT_EQ(delay[49], 0);
    EXPECT_GE(delay[50], 1000 - 40);  // the first held picture goes when the stall ends
    // Never closer than three quarters of a period, and back on the camera's time after about
    // three times the stall: 1000 ms / 10 ms a frame = 100 frames.
    for (size_t j = 1; j < went.size(); ++j) EXPECT_GE(went[j] - went[j - 1], 30u) << j;
    EXPECT_GT(delay[140], 40);
    EXPECT_LE(delay[160], 0);
    EXPECT_EQ(delay.back(), 0);
    EXPECT_EQ(schedule.LagMs(), 0u);
    // Once caught up, the period again.
    EXPECT_EQ(went[399] - went[398], 40u);
}

TEST(CatchUpScheduleTest, ABusyReaderThatWakesLateStillDrainsHeldFrames) {
    // Two wake-ups in three come 6 ms after the due time (more than the tolerance for a waiting
    // frame), and a frame that is there is complete 1 ms after the reader looks.
    CCatchUpSchedule schedule;
    const std::vector<uint64_t> ready = CameraWithStall(400, 50, 25, true);
    std::vector<int64_t> delay;
    for (size_t j = 0; j < ready.size(); ++j) {
        const uint64_t due = schedule.NextDueMs();
        const uint64_t looked = due == 0 ? ready[j] : due + (j % 3 != 0 ? 6 : 0);
        uint64_t now = std::max(ready[j], looked) + 1;
        now += schedule.OnFrameReady(now, kPeriod, looked);
        delay.push_back(static_cast<int64_t>(now - (kStart + kPeriod * j)));
    }
    EXPECT_GE(delay[50], 1000 - 40);
    // Each late wake-up costs the catch-up most of its step, yet it goes on: about 5 ms a frame.
    EXPECT_GT(delay[200], 100);
    EXPECT_LE(delay[300], 7);
    EXPECT_LE(delay.back(), 7);
}

TEST(CatchUpScheduleTest, AStallWithNothingQueuedIsForgottenAfterTwoFrames) {
    CCatchUpSchedule schedule;
    const std::vector<uint64_t> ready = CameraWithStall(200, 50, 25, false);
    const std::vector<uint64_t> went = Deliver(schedule, ready);
    // Every frame goes when the camera sends it, at the camera's spacing.
    EXPECT_EQ(went, ready);
    EXPECT_EQ(schedule.LagMs(), 0u);
    EXPECT_EQ(schedule.NextDueMs(), went.back() + kPeriod);
}

TEST(CatchUpScheduleTest, JitterNeitherAddsUpNorStartsACatchUp) {
    CCatchUpSchedule schedule;
    // Every other picture 3 ms late, every third 4 ms early.
    std::vector<uint64_t> ready;
    for (int j = 0; j < 300; ++j) {
        ready.push_back(kStart + kPeriod * j + (j % 2 == 1 ? 3 : 0) - (j % 3 == 2 ? 4 : 0));
    }
    const std::vector<uint64_t> went = Deliver(schedule, ready);
    for (size_t j = 1; j < went.size(); ++j) {
        EXPECT_GE(went[j] - went[j - 1], 33u) << j;
        EXPECT_LE(went[j] - went[j - 1], 47u) << j;
    }
    EXPECT_LE(went.back(), ready.back() + 3);
}

}  // namespace
