// End to end: the host deletes the driver while everything runs at once: a channel streams, a PTZ
// move is in flight to a slow camera with a stop queued behind it, and a preset has just been
// written. The delete returns within its bounds, the stop still reaches the camera, the preset
// stays in its file, and nothing calls the host afterwards.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>

#include "camsim.h"
#include "platform/platform.h"
#include "support/module_fixture.h"
#include "support/test_platform.h"
#include "support/vtable.h"

namespace {

using namespace std::chrono_literals;
using zarntest::CallSlot;

constexpr int kCaptureStartChannel = 2;
constexpr int kPtzGetControl = 2;
constexpr int kControlMove = 2;
constexpr int kControlStop = 3;
constexpr int kControlAddPreset = 17;

class DriverShutdownTest : public zarntest::ModuleFixture {
protected:
    void SetUp() override {
        ModuleFixture::SetUp();
        camera_ = std::make_unique<zarncam::Camera>();
        ASSERT_TRUE(camera_->Start());
        config_.network.address = "127.0.0.1";
        config_.network.port = camera_->Port();
        config_.network.user = "admin";
        config_.network.password = "admin";
        presetFile_ = talvane::platform::HostProgramDirectory() + "Zarn_127.0.0.1_" +
                      std::to_string(camera_->Port()) + ".preset";
        std::remove(presetFile_.c_str());
    }
    void TearDown() override {
        ModuleFixture::TearDown();
        camera_->Stop();
        std::remove(presetFile_.c_str());
    }
    size_t Answered(const std::string& target) const {
        size_t n = 0;
        for (const auto& r : camera_->Requests()) n += r.target == target && r.status == 200;
        return n;
    }

    std::unique_ptr<zarncam::Camera> camera_;
    std::string presetFile_;
};

TEST_F(DriverShutdownTest, DeleteWhileStreamingMovingAndJustAfterAPresetWrite) {
    void* driver = OpenDriver();
    ASSERT_NE(driver, nullptr);
    void* capture = CallSlot<void*>(driver, zarntest::kDriverGetVideoCapture);
    ASSERT_NE(capture, nullptr);
    zarntest::FakeChannelSink sink;
    zarntest::FakeStreamSettings settings(176, 144, 40, 50);
    ASSERT_TRUE((CallSlot<bool, uint32_t, void*, void*>(capture, kCaptureStartChannel, 0, &sink,
                                                        &settings)));
    ASSERT_TRUE(sink.WaitForFrames(3, 30s));  // after the camera's 5 s configuration pause

    void* ptz = CallSlot<void*>(driver, zarntest::kDriverGetPtzDriverEx);
    ASSERT_NE(ptz, nullptr);
    void* control = CallSlot<void*, uint32_t>(ptz, kPtzGetControl, 0);
    ASSERT_NE(control, nullptr);
    ASSERT_EQ((CallSlot<int32_t, const char*>(control, kControlAddPreset, "Door")), 1);

    // The camera now takes 1.5 s per answer: the move is in flight, the stop waits behind it.
    camera_->UpdateFaults([](zarncam::Faults& f) { f.cgiDelayMs = 1500; });
    ASSERT_EQ((CallSlot<int32_t, int32_t, int32_t>(control, kControlMove, 0, 8)), 1);
    std::this_thread::sleep_for(200ms);
    ASSERT_EQ((CallSlot<int32_t>(control, kControlStop)), 1);

    const auto start = std::chrono::steady_clock::now();
    DeleteDriver(driver);
    const auto took = std::chrono::steady_clock::now() - start;
    sink.Seal();
    const size_t records = sink_.Records().size();
    // Bounded by the stop request (one request time-out, 10 s), not by the stream or the move.
    EXPECT_LT(took, 10s + zarntest::Scaled(3s));
    EXPECT_EQ(Answered("/cgi-bin/PtzConfig.cgi?Action=Set&Move=Stop"), 1u);
    EXPECT_EQ(allocator_.Outstanding(), 0u);

    std::FILE* file = std::fopen(presetFile_.c_str(), "rb");
    ASSERT_NE(file, nullptr);
    char buffer[4096] = {};
    const size_t size = std::fread(buffer, 1, sizeof(buffer) - 1, file);
    std::fclose(file);
    EXPECT_NE(std::string(buffer, size).find("<Name value=\"Door\""), std::string::npos);

    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(sink.CallsAfterSeal(), 0u);
    EXPECT_EQ(sink_.Records().size(), records);
}

}  // namespace
