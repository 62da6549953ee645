// The video capture object's state machine as the host drives it, slot by slot through the raw
// vtable, against the camera simulator: reconfiguring a running and a stalled channel, the
// reserved slots, starting an index twice and stopping one that never started.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "camsim.h"
#include "channel/h264_http_channel.h"
#include "driver/ip_video_capture.h"
#include "support/fake_driver.h"
#include "support/fake_host.h"
#include "support/vtable.h"

namespace {

using namespace std::chrono_literals;
using zarntest::CallSlot;

// The host's view: slots of IIPVideoCaptureEx.
enum Slot {
    kStartChannel = 2,
    kStopChannel = 3,
    kReconfigureChannel = 4,
    kReserved5 = 5,
    kGetChannelState = 6,
    kReserved7 = 7,
    kReserved8 = 8,
    kReserved9 = 9,
    kReserved10 = 10,
};

class Creator final : public talvane::ICustomCreator {
public:
    explicit Creator(talvane::IDriver* driver) : driver_(driver) {}
    talvane::ICameraChannel* CreateChannel(uint32_t index, talvane::IChannelSink* sink) override {
        auto* channel = new talvane::CH264HttpChannel(driver_, index, sink);
        channel->SetConfigurePauseMs(50);
        channel->SetReconnectDelays(100, 200);
        return channel;
    }

private:
    talvane::IDriver* driver_;
};

class VideoCaptureTest : public ::testing::Test {
protected:
    void SetUp() override {
        camera_ = std::make_unique<zarncam::Camera>();
        ASSERT_TRUE(camera_->Start());
        talvane::DEVICE_INFO device;
        device.address = "127.0.0.1";
        device.port = camera_->Port();
        device.user = "admin";
        device.password = "admin";
        device.requestTimeoutMs = 10000;
        device.noDataTimeoutMs = 10000;
        driver_.SetDevice(device);
        driver_.SetAllocator(&allocator_);
        driver_.SetParameter(4, "0");
        capture_ = std::make_unique<talvane::CIPVideoCapture>(&creator_, 2, &driver_);
    }
    void TearDown() override {
        capture_.reset();
        camera_->Stop();
    }

    void* Host() { return static_cast<talvane::ipcapture::IIPVideoCaptureEx*>(capture_.get()); }
    bool Start(uint32_t index, zarntest::FakeChannelSink& sink,
               zarntest::FakeStreamSettings& settings) {
        return CallSlot<bool, uint32_t, void*, void*>(Host(), kStartChannel, index, &sink,
                                                      &settings);
    }
    bool Stop(uint32_t index) { return CallSlot<bool, uint32_t>(Host(), kStopChannel, index); }
    bool Reconfigure(uint32_t index, zarntest::FakeResolution& resolution, int32_t period) {
        return CallSlot<bool, uint32_t, void*, int32_t>(Host(), kReconfigureChannel, index,
                                                        &resolution, period);
    }
    int32_t State(uint32_t index) {
        int32_t state = -1;
        int32_t code = -1;
        return CallSlot<bool, uint32_t, int32_t*, int32_t*, char*, uint32_t>(
                   Host(), kGetChannelState, index, &state, &code, nullptr, 0)
                   ? state
                   : -1;
    }
    std::string LastConfig() {
        std::string last;
        for (const auto& r : camera_->Requests()) {
            if (r.Path() == "/cgi-bin/AVConfig.cgi") last = r.target;
        }
        return last;
    }

    zarntest::FakeDriver driver_;
    zarntest::FakeFrameAllocator allocator_;
    Creator creator_{&driver_};
    std::unique_ptr<zarncam::Camera> camera_;
    std::unique_ptr<talvane::CIPVideoCapture> capture_;
};

TEST_F(VideoCaptureTest, TheHostsSlotsAcrossTheChannelStates) {
    // Reserved slots answer the same whatever the state.
    int dummy = 0;
    EXPECT_EQ((CallSlot<int32_t>(Host(), kReserved5)), 0);
    for (int slot : {kReserved7, kReserved8}) {
        EXPECT_FALSE((CallSlot<bool, uint32_t, void*, uint32_t>(Host(), slot, 0, &dummy, 5)));
    }
    for (int slot : {kReserved9, kReserved10})
        EXPECT_FALSE((CallSlot<bool, void*>(Host(), slot, &dummy)));

    // Stopping or reconfiguring an index that never started does nothing.
    zarntest::FakeResolution size352(352, 288);
    EXPECT_FALSE(Stop(1));
    EXPECT_FALSE(Reconfigure(1, size352, 100));
    EXPECT_EQ(State(1), -1);
    EXPECT_TRUE(camera_->Requests().empty());

    // Start index 0; starting it again replaces the first channel, whose sink hears no more.
    zarntest::FakeChannelSink first;
    zarntest::FakeChannelSink second;
    zarntest::FakeStreamSettings settings(176, 144, 40, 50);
    ASSERT_TRUE(Start(0, first, settings));
    ASSERT_TRUE(first.WaitForFrames(3, 15s));
    ASSERT_TRUE(Start(0, second, settings));
    first.Seal();
    ASSERT_TRUE(second.WaitForFrames(3, 15s));
    EXPECT_EQ(first.CallsAfterSeal(), 0u);
    EXPECT_EQ(State(0), talvane::kChannelRunning);
    EXPECT_EQ((CallSlot<int32_t>(Host(), kReserved5)), 0);

    // Reconfiguring a running channel: new period and size, the quality kept.
    ASSERT_TRUE(Reconfigure(0, size352, 100));
    ASSERT_TRUE(camera_->WaitForRequestCount("/cgi-bin/AVConfig.cgi", 3, 10s));
    EXPECT_EQ(LastConfig(),
              "/cgi-bin/AVConfig.cgi?Action=Set&FrameRate=10&IFrameInterval=10&VideoQuality=1"
              "&BitRate=1024&RateControlMode=2&VideoResolution=4");
    second.Clear();
    ASSERT_TRUE(second.WaitForFrames(3, 15s));
    EXPECT_EQ(second.Frames().back().width, 352u);

    // Reconfiguring a stalled channel: the blocked read is aborted, the restart is prompt, and
    // the stream comes back once the camera does.
    camera_->UpdateFaults([](zarncam::Faults& f) { f.stall = true; });
    ASSERT_TRUE(
        camera_->WaitForStats([](const zarncam::Stats& s) { return s.streamsStalled > 0; }, 10s));
    zarntest::FakeResolution size176(176, 144);
    const auto before = std::chrono::steady_clock::now();
    EXPECT_TRUE(Reconfigure(0, size176, 40));
    EXPECT_LT(std::chrono::steady_clock::now() - before, 5s);
    camera_->UpdateFaults([](zarncam::Faults& f) { f.stall = false; });
    second.Clear();
    ASSERT_TRUE(second.WaitForFrames(3, 15s));
    EXPECT_EQ(second.Frames().back().width, 176u);

    // Stop, and stop again.
    EXPECT_TRUE(Stop(0));
    second.Seal();
    EXPECT_FALSE(Stop(0));
    EXPECT_EQ(State(0), -1);
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(second.CallsAfterSeal(), 0u);
    EXPECT_EQ(allocator_.Outstanding(), 0u);
}

}  // namespace
