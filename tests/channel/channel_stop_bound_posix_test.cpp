// A channel whose camera address never resolves: the abort cannot reach a host-name lookup, so the
// stop returns after its bound and the worker is let go; it ends (and deletes the channel) once
// the lookup gives up.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "channel/h264_http_channel.h"
#include "driver/ip_video_capture.h"
#include "support/fake_driver.h"
#include "support/fake_host.h"
#include "support/let_go_workers.h"
#include "support/stalling_resolver.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class Creator final : public talvane::ICustomCreator {
public:
    explicit Creator(talvane::IDriver* driver) : driver_(driver) {}
    talvane::ICameraChannel* CreateChannel(uint32_t index, talvane::IChannelSink* sink) override {
        return new talvane::CH264HttpChannel(driver_, index, sink);
    }

private:
    talvane::IDriver* driver_;
};

TEST(ChannelStopBoundPosixTest, AddressThatNeverResolvesIsLetGoWithinTheBound) {
    zarntest::StallingResolver::Rearm();
    zarntest::FakeDriver driver;
    zarntest::FakeFrameAllocator allocator;
    talvane::DEVICE_INFO device;
    device.address = std::string("camera") + zarntest::StallingResolver::kStallingSuffix;
    device.requestTimeoutMs = 500;  // a stop waits 1000 ms
    driver.SetDevice(device);
    driver.SetAllocator(&allocator);
    zarntest::FakeChannelSink sink;
    Creator creator(&driver);
    talvane::CIPVideoCapture capture(&creator, 1);
    zarntest::FakeStreamSettings settings(176, 144, 40, 50);

    const size_t before = zarntest::StallingResolver::Started();
    ASSERT_TRUE(capture.StartChannel(0, &sink, &settings));
    ASSERT_TRUE(zarntest::StallingResolver::WaitForStarted(before + 1, 10s));
    // The lookup outlasts the request's own connect time-out too.
    std::this_thread::sleep_for(700ms);

    const auto start = Clock::now();
    EXPECT_TRUE(capture.StopChannel(0));
    EXPECT_LT(Clock::now() - start, 1000ms + 1500ms);
    EXPECT_EQ(driver.Count("did not end within 1000 ms (it is waiting on the network)"), 1u);

    driver.Seal();
    allocator.Seal();
    sink.Seal();
    zarntest::StallingResolver::Release();
    EXPECT_TRUE(zarntest::WaitForLetGoWorkersToEnd(10s));
    EXPECT_EQ(driver.CallsAfterSeal(), 0u);
    EXPECT_EQ(allocator.CallsAfterSeal(), 0u);
    EXPECT_EQ(sink.CallsAfterSeal(), 0u);
}

}  // namespace
