#include "channel/arrival_slack.h"

#include <gtest/gtest.h>

namespace {

using talvane::CArrivalSlack;
using namespace std::chrono_literals;

// One frame: the reader wakes at `woke` and the frame goes `after` later.
void Frame(CArrivalSlack& slack, CArrivalSlack::Clock::time_point& t,
           std::chrono::microseconds after) {
    t += 40ms;
    slack.OnWoke(t);
    slack.OnDelivered(t + after);
}

TEST(ArrivalSlackTest, LearnsTheLagGrowsItWhenStillEarlyAndProbesWithoutIt) {
    CArrivalSlack slack;
    auto t = CArrivalSlack::Clock::time_point{} + 1s;

    // Pictures that are there at the wake-up need no slack.
    for (int i = 0; i < 30; ++i) Frame(slack, t, 50us);
    EXPECT_EQ(slack.SlackMs(), 0u);

    // A picture 400 us late: one millisecond from then on.
    Frame(slack, t, 400us);
    EXPECT_EQ(slack.SlackMs(), 1u);
    // Woken with that slack and still early by 300 us: one more, but never past the cap.
    Frame(slack, t, 300us);
    EXPECT_EQ(slack.SlackMs(), 2u);
    Frame(slack, t, 5ms);
    EXPECT_EQ(slack.SlackMs(), CArrivalSlack::kMaxSlackMs);

    // Frames that find their picture waiting keep the slack until the probe drops it once.
    for (uint32_t i = 1; i < CArrivalSlack::kProbeFrames; ++i) Frame(slack, t, 20us);
    EXPECT_EQ(slack.SlackMs(), CArrivalSlack::kMaxSlackMs);
    Frame(slack, t, 20us);
    EXPECT_EQ(slack.SlackMs(), 0u);

    // Only the first delivery after a wake-up counts; a delivery without a wake-up (a backlog
    // going out at once) teaches nothing.
    t += 40ms;
    slack.OnWoke(t);
    slack.OnDelivered(t + 10us);
    slack.OnDelivered(t + 30ms);
    EXPECT_EQ(slack.SlackMs(), 0u);

    Frame(slack, t, 900us);
    ASSERT_EQ(slack.SlackMs(), 1u);
    slack.Reset();
    EXPECT_EQ(slack.SlackMs(), 0u);
}

}  // namespace
