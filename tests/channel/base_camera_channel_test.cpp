#include "channel/base_camera_channel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "support/fake_driver.h"
#include "support/fake_host.h"

namespace {

using talvane::StreamParams;

// A channel whose worker only records the parameters it ran with and waits for the stop event.
class TestChannel final : public talvane::CBaseCameraChannel {
public:
    using CBaseCameraChannel::CBaseCameraChannel;
    ~TestChannel() override { Stop(); }

    std::vector<StreamParams> Runs() {
        std::lock_guard<std::mutex> lock(mutex_);
        return runs_;
    }
    int active = 0;  // workers running right now (touched under mutex_)
    int maxActive = 0;
    int joinHooks = 0;

protected:
    int32_t Run() override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            runs_.push_back(Params());
            maxActive = std::max(maxActive, ++active);
        }
        StopEvent().Wait(talvane::platform::kInfinite);
        std::lock_guard<std::mutex> lock(mutex_);
        --active;
        return 0;
    }
    void BeforeThreadJoin() override { ++joinHooks; }

private:
    std::mutex mutex_;
    std::vector<StreamParams> runs_;
};

class BaseCameraChannelTest : public ::testing::Test {
protected:
    BaseCameraChannelTest() {
        talvane::DEVICE_INFO device;
        device.address = "cam.example";
        driver_.SetDevice(device);
    }
    zarntest::FakeDriver driver_;
    zarntest::FakeChannelSink sink_;
    TestChannel channel_{7, &driver_, &sink_};
};

TEST_F(BaseCameraChannelTest, StopWithoutStartIsQuiet) {
    channel_.Stop();
    EXPECT_EQ(channel_.GetState(), talvane::kChannelStopped);
    EXPECT_TRUE(driver_.Lines().empty());
    EXPECT_EQ(channel_.joinHooks, 0);
}

TEST_F(BaseCameraChannelTest, OnlineFlagChangesAreLoggedOnceWithTheRightLine) {
    channel_.SetCameraState(false);  // no change
    EXPECT_TRUE(driver_.Lines().empty());

    channel_.SetCameraState(true);
    channel_.SetCameraState(true);
    channel_.SetState(talvane::kChannelSignalLost);
    channel_.SetCameraState(false);
    channel_.SetCameraState(true);
    channel_.SetState(talvane::kChannelRunning);
    channel_.SetCameraState(false);
    channel_.SetCameraState(true);
    channel_.Stop();

    const auto lines = driver_.Lines();
    ASSERT_EQ(lines.size(), 6u);
    const std::string prefix = "talvane::CBaseCameraChannel::SetCameraState: ";
    EXPECT_EQ(lines[0].text, prefix + "Camera cam.example is online");
    EXPECT_EQ(lines[0].level, talvane::kLogNotice);
    EXPECT_EQ(lines[1].text, prefix + "Signal was lost for camera cam.example (channel 7)");
    EXPECT_EQ(lines[1].level, talvane::kLogFailure);
    EXPECT_EQ(lines[3].text, prefix + "Camera cam.example is offline or failed");
    EXPECT_EQ(lines[3].level, talvane::kLogFailure);
    EXPECT_EQ(lines[5].text, prefix + "Camera cam.example is offline. Channel was stopped");
    EXPECT_EQ(lines[5].level, talvane::kLogNotice);
    EXPECT_FALSE(channel_.IsOnline());
}

TEST_F(BaseCameraChannelTest, StartStopAndRestartRunOneWorkerAtATime) {
    StreamParams first{40, 50, 704, 576};
    ASSERT_TRUE(channel_.Start(&first));
    StreamParams second{100, 80, 352, 288};
    ASSERT_TRUE(channel_.Start(&second));  // ends the first worker before the second starts
    StreamParams restart{200, 10, 176, 144};
    ASSERT_TRUE(channel_.Restart(&restart));
    channel_.Stop();
    EXPECT_EQ(channel_.GetState(), talvane::kChannelStopped);

    const auto runs = channel_.Runs();
    ASSERT_EQ(runs.size(), 3u);
    EXPECT_EQ(channel_.maxActive, 1);
    EXPECT_EQ(channel_.joinHooks, 3);
    EXPECT_EQ(runs[1].quality, 80u);
    // A restart takes the new period and size and keeps the quality.
    EXPECT_EQ(runs[2].framePeriodMs, 200u);
    EXPECT_EQ(runs[2].width, 176u);
    EXPECT_EQ(runs[2].height, 144u);
    EXPECT_EQ(runs[2].quality, 80u);
}

TEST_F(BaseCameraChannelTest, FramePeriodZeroRunsAtFortyMillisecondsWithANotice) {
    StreamParams params{0, 50, 704, 576};
    ASSERT_TRUE(channel_.Start(&params));
    channel_.Stop();
    ASSERT_EQ(channel_.Runs().size(), 1u);
    EXPECT_EQ(channel_.Runs()[0].framePeriodMs, 40u);
    EXPECT_EQ(driver_.Count("Frame period 0 ms"), 1u);
    EXPECT_EQ(driver_.Lines()[0].level, talvane::kLogNotice);
    EXPECT_EQ(driver_.Lines()[0].text.rfind("talvane::CBaseCameraChannel::Start: ", 0), 0u);
}

TEST_F(BaseCameraChannelTest, FrameTimeIsUnknownUntilTouched) {
    EXPECT_EQ(channel_.MillisecondsSinceLastFrame(), 0xFFFFFFFFu);
    channel_.TouchFrameTime();
    EXPECT_LT(channel_.MillisecondsSinceLastFrame(), 60000u);
}

TEST_F(BaseCameraChannelTest, NullParametersAreRefused) {
    EXPECT_FALSE(channel_.Start(nullptr));
    EXPECT_FALSE(channel_.Restart(nullptr));
    EXPECT_TRUE(channel_.Runs().empty());
}

}  // namespace
