// Stops of a channel whose worker is held where no stop request reaches it: the stop returns
// within its bound, the worker is let go, and from then on nothing of the host is called; the
// channel is deleted by the worker once it ends.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "camsim.h"
#include "channel/h264_http_channel.h"
#include "driver/ip_video_capture.h"
#include "support/fake_driver.h"
#include "support/fake_host.h"
#include "support/let_go_workers.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Makes the camera family's channels for a fake driver, with short pauses.
class TestCreator final : public talvane::ICustomCreator {
public:
    explicit TestCreator(talvane::IDriver* driver) : driver_(driver) {}
    talvane::ICameraChannel* CreateChannel(uint32_t index, talvane::IChannelSink* sink) override {
        auto* channel = new talvane::CH264HttpChannel(driver_, index, sink);
        channel->SetConfigurePauseMs(50);
        channel->SetReconnectDelays(100, 200);
        return channel;
    }

private:
    talvane::IDriver* driver_;
};

// Something the test lets go of: a host call waits for it (at most `limit`).
class Latch {
public:
    void Open() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            open_ = true;
        }
        cv_.notify_all();
    }
    bool Wait(std::chrono::milliseconds limit) {
        std::unique_lock<std::mutex> lock(mutex_);
        return cv_.wait_for(lock, limit, [this] { return open_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool open_ = false;
};

class ChannelStopBoundTest : public ::testing::Test {
protected:
    void SetUp() override {
        camera_ = std::make_unique<zarncam::Camera>();
        ASSERT_TRUE(camera_->Start());
    }
    void TearDown() override { camera_->Stop(); }

    // A driver for the camera whose stops wait 1000 ms (twice the request time-out).
    void Configure(zarntest::FakeDriver& driver, zarntest::FakeFrameAllocator& allocator) {
        talvane::DEVICE_INFO device;
        device.address = "127.0.0.1";
        device.port = camera_->Port();
        device.user = "admin";
        device.password = "admin";
        device.requestTimeoutMs = 500;
        device.noDataTimeoutMs = 5000;
        driver.SetDevice(device);
        driver.SetAllocator(&allocator);
        driver.SetParameter(4, "0");
    }

    std::unique_ptr<zarncam::Camera> camera_;
};

// The three ways the host ends a channel: StopChannel, ReconfigureChannel (a restart) and the
// deletion of the video capture object (Close / DeleteIPCapture).
TEST_F(ChannelStopBoundTest, SinkBlockedInOnFrameIsLetGoAndNeverCalledAgain) {
    constexpr auto kBound = 1000ms;
    constexpr auto kMargin = 1500ms;
    enum class End { kStop, kReconfigure, kDeleteCapture };
    for (End end : {End::kStop, End::kReconfigure, End::kDeleteCapture}) {
        SCOPED_TRACE(static_cast<int>(end));
        zarntest::FakeDriver driver;
        zarntest::FakeFrameAllocator allocator;
        Configure(driver, allocator);
        zarntest::FakeChannelSink sink;
        Latch entered;
        Latch release;
        bool first = true;
        // The first frame blocks the worker inside the host's OnFrame, longer than the bound.
        sink.SetFrameHook([&](talvane::IHostFrame*) {
            if (!first) return;
            first = false;
            entered.Open();
            release.Wait(6s);
        });
        TestCreator creator(&driver);
        auto capture = std::make_unique<talvane::CIPVideoCapture>(&creator, 1);
        zarntest::FakeStreamSettings settings(176, 144, 40, 50);
        ASSERT_TRUE(capture->StartChannel(0, &sink, &settings));
        ASSERT_TRUE(entered.Wait(15s));

        const auto start = Clock::now();
        switch (end) {
            case End::kStop:
                EXPECT_TRUE(capture->StopChannel(0));
                break;
            case End::kReconfigure: {
                zarntest::FakeResolution resolution(352, 288);
                EXPECT_FALSE(capture->ReconfigureChannel(0, &resolution, 100));
                int32_t state = -1;
                EXPECT_TRUE(capture->GetChannelState(0, &state, nullptr, nullptr, 0));
                EXPECT_EQ(state, talvane::kChannelStopped);
                break;
            }
            case End::kDeleteCapture:
                capture.reset();
                break;
        }
        const auto took = Clock::now() - start;
        EXPECT_LT(took, kBound + kMargin);
        EXPECT_EQ(driver.Count("did not end within 1000 ms (it is inside a call to the host)"), 1u);
        if (end == End::kReconfigure) {
            // A channel whose worker was let go is out of service; stopping it is immediate.
            EXPECT_TRUE(capture->StopChannel(0));
            EXPECT_LT(Clock::now() - start, kBound + kMargin);
        }

        // From here on the blocked OnFrame returning is the last the host hears of the channel.
        sink.Seal();
        allocator.Seal();
        driver.Seal();
        release.Open();
        ASSERT_TRUE(zarntest::WaitForLetGoWorkersToEnd(10s));
        EXPECT_EQ(sink.CallsAfterSeal(), 0u);
        EXPECT_EQ(allocator.CallsAfterSeal(), 0u);
        EXPECT_EQ(driver.CallsAfterSeal(), 0u);
        capture.reset();
    }
}

}  // namespace
