// The Zarn HD command object: speed mapping, the request of every work item, and the camera
// conversation against the simulated camera (motion on the PTZ thread, presets on the caller's
// thread, a camera that refuses or does not answer, and no overlapping use of the one HTTP client).
#include "ptz/zarn_hd_ptz_comm.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "camsim.h"
#include "support/fake_driver.h"
#include "support/test_platform.h"

namespace {

using namespace std::chrono_literals;
using talvane::CBasePTZComm;
using talvane::CZarnHDPTZComm;

constexpr const char* kBase = "/cgi-bin/PtzConfig.cgi?Action=Set";

std::string Request(const std::string& tail) {
    return std::string(kBase) + tail;
}

TEST(ZarnHdPtzSpeedTest, HostSpeedsMapToCameraSpeedsPerKindOfMotion) {
    const int32_t panTilt[16] = {2, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7, 8, 8, 9};
    for (int32_t s = 1; s <= 16; ++s) {
        for (int32_t direction : {0, 1, 2, 3}) {
            EXPECT_EQ(CZarnHDPTZComm::CameraSpeed(direction, s), panTilt[s - 1]) << "speed " << s;
        }
        const int32_t zoom = s <= 8 ? 1 : (s <= 15 ? 2 : 3);
        EXPECT_EQ(CZarnHDPTZComm::CameraSpeed(8, s), zoom) << "speed " << s;
        EXPECT_EQ(CZarnHDPTZComm::CameraSpeed(9, s), zoom) << "speed " << s;
        for (int32_t direction : {4, 5, 6, 7}) {
            EXPECT_EQ(CZarnHDPTZComm::CameraSpeed(direction, s), 3 + 4 * (s - 1)) << "speed " << s;
        }
    }
}

TEST(ZarnHdPtzSpeedTest, SpeedsOutsideTheRangeAreNotClampedButNeverOverflow) {
    // Truncation toward zero: host speed 0 gives 2 + trunc(-7/15) = 2, diagonal 3 - 4 = -1.
    EXPECT_EQ(CZarnHDPTZComm::CameraSpeed(0, 0), 2);
    EXPECT_EQ(CZarnHDPTZComm::CameraSpeed(4, 0), -1);
    EXPECT_EQ(CZarnHDPTZComm::CameraSpeed(0, 31), 16);
    EXPECT_EQ(CZarnHDPTZComm::CameraSpeed(0, -14), -5);
    constexpr int32_t kMax = std::numeric_limits<int32_t>::max();
    constexpr int32_t kMin = std::numeric_limits<int32_t>::min();
    EXPECT_EQ(CZarnHDPTZComm::CameraSpeed(4, kMax), kMax);
    EXPECT_EQ(CZarnHDPTZComm::CameraSpeed(4, kMin), kMin);
    EXPECT_GT(CZarnHDPTZComm::CameraSpeed(0, kMax), 0);
    EXPECT_LT(CZarnHDPTZComm::CameraSpeed(0, kMin), 0);
}

TEST(ZarnHdPtzRequestTest, EveryWorkItemMapsToItsRequest) {
    EXPECT_EQ(CZarnHDPTZComm::MoveRequest(0, 16), Request("&Move=Left&Speed=9"));
    EXPECT_EQ(CZarnHDPTZComm::MoveRequest(1, 1), Request("&Move=Right&Speed=2"));
    EXPECT_EQ(CZarnHDPTZComm::MoveRequest(1, 16), Request("&Move=Right&Speed=9"));
    EXPECT_EQ(CZarnHDPTZComm::MoveRequest(2, 8), Request("&Move=Up&Speed=5"));
    EXPECT_EQ(CZarnHDPTZComm::MoveRequest(3, 4), Request("&Move=Down&Speed=3"));
    EXPECT_EQ(CZarnHDPTZComm::MoveRequest(8, 1), Request("&Move=ZoomTele&Speed=1"));
    EXPECT_EQ(CZarnHDPTZComm::MoveRequest(8, 16), Request("&Move=ZoomTele&Speed=3"));
    EXPECT_EQ(CZarnHDPTZComm::MoveRequest(9, 9), Request("&Move=ZoomWide&Speed=2"));
    EXPECT_EQ(CZarnHDPTZComm::MoveRequest(4, 16), Request("&Path=1&Command=255,1,0,12,63,63,139"));
    EXPECT_EQ(CZarnHDPTZComm::MoveRequest(5, 1), Request("&Path=1&Command=255,1,0,10,3,3,17"));
    EXPECT_EQ(CZarnHDPTZComm::MoveRequest(6, 16), Request("&Path=1&Command=255,1,0,20,63,63,147"));
    EXPECT_EQ(CZarnHDPTZComm::MoveRequest(7, 1), Request("&Path=1&Command=255,1,0,18,3,3,25"));
    EXPECT_EQ(CZarnHDPTZComm::MoveRequest(6, 0), Request("&Path=1&Command=255,1,0,20,255,255,19"));
    // Unknown directions send the bare request.
    EXPECT_EQ(CZarnHDPTZComm::MoveRequest(10, 5), kBase);
    EXPECT_EQ(CZarnHDPTZComm::MoveRequest(-1, 5), kBase);

    EXPECT_EQ(CZarnHDPTZComm::FocusRequest(CBasePTZComm::kCodeFocusFar),
              Request("&Move=FocusFar&Speed=3"));
    EXPECT_EQ(CZarnHDPTZComm::FocusRequest(CBasePTZComm::kCodeFocusNear),
              Request("&Move=FocusNear&Speed=3"));
    EXPECT_EQ(CZarnHDPTZComm::FocusRequest(3), "");
    EXPECT_EQ(CZarnHDPTZComm::IrisRequest(CBasePTZComm::kCodeIrisOpen),
              Request("&Move=IrisOn&Speed=3"));
    EXPECT_EQ(CZarnHDPTZComm::IrisRequest(CBasePTZComm::kCodeIrisClose),
              Request("&Move=IrisOff&Speed=3"));
    EXPECT_EQ(CZarnHDPTZComm::IrisRequest(1), "");
    for (int32_t code = 5; code <= 8; ++code) {
        EXPECT_EQ(CZarnHDPTZComm::StopRequest(code), Request("&Move=Stop"));
    }
    EXPECT_EQ(CZarnHDPTZComm::StopRequest(4), "");
    EXPECT_EQ(CZarnHDPTZComm::StopRequest(9), "");

    // Focus and iris ignore the host's speed; area zoom, center and unzoom send nothing.
    CBasePTZComm::CWorkItem item;
    item.message = CBasePTZComm::kMessageFocus;
    item.code = CBasePTZComm::kCodeFocusNear;
    item.speed = 16;
    EXPECT_EQ(CZarnHDPTZComm::RequestFor(item), Request("&Move=FocusNear&Speed=3"));
    for (int32_t message : {5, 6, 7, 0, 99}) {
        item.message = message;
        EXPECT_EQ(CZarnHDPTZComm::RequestFor(item), "") << message;
    }
}

// A command object talking to a simulated camera on loopback.
class ZarnHdPtzCameraTest : public ::testing::Test {
protected:
    void SetUp() override {
        zarncam::Config config;
        config.auth = {zarncam::AuthScheme::kBasic};
        config.user = "admin";
        config.password = "secret";
        camera_ = std::make_unique<zarncam::Camera>(config);
        ASSERT_TRUE(camera_->Start());
        talvane::DEVICE_INFO device;
        device.requestTimeoutMs = 10000;
        device.noDataTimeoutMs = 10000;
        device.address = "127.0.0.1";
        device.port = camera_->Port();
        device.user = "admin";
        device.password = "secret";
        driver_.SetDevice(device);
    }
    void TearDown() override { camera_->Stop(); }

    std::vector<std::string> PtzTargets() const {
        std::vector<std::string> targets;
        for (const auto& r : camera_->Requests()) {
            if (r.Path() == "/cgi-bin/PtzConfig.cgi") targets.push_back(r.target);
        }
        return targets;
    }
    bool WaitPtz(size_t n) const {
        return camera_->WaitForRequestCount("/cgi-bin/PtzConfig.cgi", n, 10s);
    }

    zarntest::FakeDriver driver_;
    std::unique_ptr<zarncam::Camera> camera_;
};

TEST_F(ZarnHdPtzCameraTest, MotionRequestsGoOutOnThePtzThreadOneAtATime) {
    CZarnHDPTZComm comm(&driver_, talvane::CPtzCapabilities(), 0);
    ASSERT_TRUE(comm.Open());
    const std::vector<std::pair<std::function<void()>, std::string>> steps = {
        {[&] { EXPECT_EQ(comm.StartMove(nullptr, 0, 16), 1); }, Request("&Move=Left&Speed=9")},
        {[&] { EXPECT_TRUE(comm.StopMoving(nullptr)); }, Request("&Move=Stop")},
        {[&] { EXPECT_EQ(comm.StartMove(nullptr, 8, 1), 1); }, Request("&Move=ZoomTele&Speed=1")},
        {[&] { EXPECT_TRUE(comm.StopZooming(nullptr)); }, Request("&Move=Stop")},
        {[&] { EXPECT_EQ(comm.StartFocus(nullptr, false, 16), 1); },
         Request("&Move=FocusFar&Speed=3")},
        {[&] { EXPECT_TRUE(comm.StopFocusing(nullptr)); }, Request("&Move=Stop")},
        {[&] { EXPECT_EQ(comm.StartIris(nullptr, false, 1), 1); },
         Request("&Move=IrisOff&Speed=3")},
        {[&] { EXPECT_TRUE(comm.StopIrisChanging(nullptr)); }, Request("&Move=Stop")},
        {[&] { EXPECT_EQ(comm.StartMove(nullptr, 4, 16), 1); },
         Request("&Path=1&Command=255,1,0,12,63,63,139")},
    };
    for (size_t i = 0; i < steps.size(); ++i) {
        steps[i].first();
        ASSERT_TRUE(WaitPtz(i + 1)) << "step " << i;
    }
    std::vector<std::string> expected;
    for (const auto& step : steps) expected.push_back(step.second);
    EXPECT_EQ(PtzTargets(), expected);
    for (const auto& r : camera_->Requests()) {
        EXPECT_EQ(r.method, "GET");
        EXPECT_EQ(r.status, 200);  // authenticated with the record's credentials
    }
    EXPECT_TRUE(comm.Close());
}

TEST_F(ZarnHdPtzCameraTest, PresetsUseTheCameraNumbersAndItsOwnNames) {
    CZarnHDPTZComm comm(&driver_, talvane::CPtzCapabilities(), 0);
    // Presets run on the caller's thread: no PTZ thread needed.
    EXPECT_TRUE(comm.SetPreposition(0, "Door"));
    EXPECT_TRUE(comm.SetPreposition(4, "Gate"));
    EXPECT_TRUE(comm.CallPreposition(4, "Gate", 77));
    EXPECT_TRUE(comm.ClearPreposition(0, "Door"));
    EXPECT_FALSE(comm.SetPreposition(-1, "Bad"));  // no camera number for a negative slot
    EXPECT_EQ(PtzTargets(),
              (std::vector<std::string>{Request("&Move=PresetSet&PresetNo=1&PresetName=preset1"),
                                        Request("&Move=PresetSet&PresetNo=5&PresetName=preset5"),
                                        Request("&Move=PresetCall&PresetNo=5"),
                                        Request("&Move=PresetClear&PresetNo=1")}));
    EXPECT_EQ(camera_->Presets(), (std::map<int, std::string>{{5, "preset5"}}));
    // The client is clean after the unread answers: motion still works.
    ASSERT_TRUE(comm.Open());
    ASSERT_EQ(comm.StartMove(nullptr, 1, 1), 1);
    ASSERT_TRUE(WaitPtz(5));
    EXPECT_EQ(PtzTargets().back(), Request("&Move=Right&Speed=2"));
}

TEST_F(ZarnHdPtzCameraTest, ARefusingCameraFailsSetButNotCallAndMotionGoesOn) {
    const auto refuse = [this](bool on) {
        camera_->UpdateFaults([on](zarncam::Faults& f) {
            f.errorPathPrefix = on ? "/cgi-bin/PtzConfig.cgi" : "";
            f.errorStatus = 500;
        });
    };
    refuse(true);
    CZarnHDPTZComm comm(&driver_, talvane::CPtzCapabilities(), 0);
    EXPECT_FALSE(comm.SetPreposition(0, "Door"));
    // A go-to or delete only needs an answer, whatever its status; a refusal leaves a quiet
    // record with the request and the status (a failed store is reported through the result).
    EXPECT_TRUE(comm.CallPreposition(0, "Door", 0));
    EXPECT_TRUE(comm.ClearPreposition(0, "Door"));
    {
        const auto presetLines = driver_.Lines();
        ASSERT_EQ(presetLines.size(), 2u);
        EXPECT_EQ(presetLines[0].level, talvane::kLogSilent);
        EXPECT_EQ(presetLines[0].text,
                  "talvane::CZarnHDPTZComm::CallPreposition: the camera did not carry out the "
                  "preset request \"" +
                      Request("&Move=PresetCall&PresetNo=1") + "\" (status 500)");
        EXPECT_EQ(presetLines[1].text,
                  "talvane::CZarnHDPTZComm::ClearPreposition: the camera did not carry out the "
                  "preset request \"" +
                      Request("&Move=PresetClear&PresetNo=1") + "\" (status 500)");
    }
    ASSERT_TRUE(comm.Open());

    // A run of refused motion requests is logged once, at level 4 (a host sees it only when it
    // asked for diagnostics), with the request and the status.
    ASSERT_EQ(comm.StartMove(nullptr, 2, 16), 1);
    ASSERT_TRUE(WaitPtz(4));
    ASSERT_TRUE(comm.StopMoving(nullptr));
    ASSERT_TRUE(WaitPtz(5));
    refuse(false);
    ASSERT_EQ(comm.StartMove(nullptr, 0, 1), 1);  // the refusals are forgotten; this goes out
    ASSERT_TRUE(WaitPtz(6));
    EXPECT_EQ(camera_->Requests().back().status, 200);
    // After a success the next refusal begins a new run.
    refuse(true);
    ASSERT_TRUE(comm.StopMoving(nullptr));
    ASSERT_TRUE(WaitPtz(7));
    ASSERT_TRUE(driver_.WaitFor("Move=Stop", 5s));
    EXPECT_TRUE(comm.Close());
    auto lines = driver_.Lines();
    ASSERT_EQ(lines.size(), 4u);
    lines.erase(lines.begin(), lines.begin() + 2);  // the preset records above
    const std::string kWhere = "talvane::CZarnHDPTZComm::ProcessItem: ";
    EXPECT_EQ(lines[0].level, talvane::kLogSilent);
    EXPECT_EQ(lines[0].text, kWhere + "the camera did not carry out the PTZ request \"" +
                                 Request("&Move=Up&Speed=9") + "\" (status 500)");
    EXPECT_EQ(lines[1].level, talvane::kLogSilent);
    EXPECT_EQ(lines[1].text, kWhere + "the camera did not carry out the PTZ request \"" +
                                 Request("&Move=Stop") + "\" (status 500)");
}

TEST_F(ZarnHdPtzCameraTest, NoCameraAtAllFailsEveryPresetRequest) {
    talvane::DEVICE_INFO device;
    driver_.GetDeviceInfo(&device);
    camera_->Stop();  // nothing listens on the port any more
    driver_.SetDevice(device);
    CZarnHDPTZComm comm(&driver_, talvane::CPtzCapabilities(), 0);
    EXPECT_FALSE(comm.SetPreposition(0, "Door"));
    EXPECT_FALSE(comm.CallPreposition(0, "Door", 0));
    EXPECT_FALSE(comm.ClearPreposition(0, "Door"));
    ASSERT_TRUE(comm.Open());
    EXPECT_EQ(comm.StartMove(nullptr, 0, 1), 1);  // queued; the failure stays on the PTZ thread
    ASSERT_TRUE(driver_.WaitFor("(no answer)", 10s));
    EXPECT_TRUE(comm.Close());
    ASSERT_EQ(driver_.Lines().size(), 1u);
    EXPECT_EQ(driver_.Lines()[0].level, talvane::kLogSilent);
    EXPECT_NE(driver_.Lines()[0].text.find(Request("&Move=Left&Speed=2")), std::string::npos);
}

TEST_F(ZarnHdPtzCameraTest, ASilentCameraTimesOutPresetsAndCannotHoldClose) {
    talvane::DEVICE_INFO device;
    driver_.GetDeviceInfo(&device);
    device.requestTimeoutMs = 300;
    driver_.SetDevice(device);
    camera_->UpdateFaults([](zarncam::Faults& f) { f.cgiDelayMs = 60000; });
    {
        CZarnHDPTZComm comm(&driver_, talvane::CPtzCapabilities(), 0);
        EXPECT_FALSE(comm.SetPreposition(0, "Door"));  // the request time-out ends it
    }

    // With a long time-out, a request in progress on the PTZ thread is aborted by Close.
    device.requestTimeoutMs = 60000;
    driver_.SetDevice(device);
    auto comm = std::make_unique<CZarnHDPTZComm>(&driver_, talvane::CPtzCapabilities(), 0);
    const uint64_t accepted = camera_->GetStats().connectionsAccepted;
    ASSERT_TRUE(comm->Open());
    ASSERT_EQ(comm->StartMove(nullptr, 0, 16), 1);
    ASSERT_TRUE(camera_->WaitForStats(
        [&](const zarncam::Stats& s) { return s.connectionsAccepted > accepted; }, 10s));
    auto closing = std::async(std::launch::async, [&] { return comm->Close(); });
    // Bounded far below the 60 s time-out: only the abort can end the request this early.
    ASSERT_EQ(closing.wait_for(20s), std::future_status::ready);
    EXPECT_TRUE(closing.get());
    // After the close the client works again (the abort was lifted).
    camera_->UpdateFaults([](zarncam::Faults& f) { f.cgiDelayMs = 0; });
    EXPECT_TRUE(comm->SetPreposition(2, "Yard"));
    auto destroying = std::async(std::launch::async, [&] { comm.reset(); });
    ASSERT_EQ(destroying.wait_for(20s), std::future_status::ready);
    // The move that Close cut short was not the camera's failure: nothing is logged.
    EXPECT_TRUE(driver_.Lines().empty());
}

TEST_F(ZarnHdPtzCameraTest, AStopSentBeforeCloseReachesTheCameraAndNothingElseDoes) {
    talvane::DEVICE_INFO device;
    driver_.GetDeviceInfo(&device);
    device.requestTimeoutMs = 3000;
    driver_.SetDevice(device);
    camera_->UpdateFaults([](zarncam::Faults& f) { f.cgiDelayMs = 400; });
    const auto sent = [&](const std::string& target) {
        size_t n = 0;
        for (const auto& r : camera_->Requests()) n += r.target == target && r.status == 200;
        return n;
    };
    // The PTZ thread sends at once; the camera takes 400 ms to answer.
    const auto settle = [] { std::this_thread::sleep_for(zarntest::Scaled(150ms)); };
    CZarnHDPTZComm comm(&driver_, talvane::CPtzCapabilities(), 0);

    // The host stops the head and closes at once: the move in flight is cut short, the stop
    // behind it goes out and is answered before Close returns.
    ASSERT_TRUE(comm.Open());
    ASSERT_EQ(comm.StartMove(nullptr, talvane::kPtzLeft, 8), 1);
    settle();
    ASSERT_TRUE(comm.StopMoving(nullptr));
    auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(comm.Close());
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3000ms + zarntest::Scaled(2000ms));
    EXPECT_EQ(sent(Request("&Move=Stop")), 1u);

    // Without a stop nothing waits: a queued move is dropped, the one in flight aborted.
    ASSERT_TRUE(comm.Open());
    ASSERT_EQ(comm.StartMove(nullptr, talvane::kPtzUp, 8), 1);
    settle();
    ASSERT_EQ(comm.StartMove(nullptr, talvane::kPtzRight, 8), 1);
    start = std::chrono::steady_clock::now();
    EXPECT_TRUE(comm.Close());
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3000ms);  // never a request time-out
    std::this_thread::sleep_for(zarntest::Scaled(600ms));
    EXPECT_EQ(sent(Request("&Move=Right&Speed=5")), 0u);

    // A stop to a camera that does not answer holds Close for one request time-out at most.
    device.requestTimeoutMs = 500;
    driver_.SetDevice(device);
    camera_->UpdateFaults([](zarncam::Faults& f) { f.cgiDelayMs = 60000; });
    CZarnHDPTZComm silent(&driver_, talvane::CPtzCapabilities(), 0);
    ASSERT_TRUE(silent.Open());
    ASSERT_TRUE(silent.StopMoving(nullptr));
    settle();
    start = std::chrono::steady_clock::now();
    EXPECT_TRUE(silent.Close());
    EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms + zarntest::Scaled(1500ms));
}

TEST_F(ZarnHdPtzCameraTest, PresetsOnAHostThreadNeverOverlapMotionOnThePtzThread) {
    constexpr int kDelayMs = 15;
    camera_->UpdateFaults([](zarncam::Faults& f) { f.cgiDelayMs = kDelayMs; });
    CZarnHDPTZComm comm(&driver_, talvane::CPtzCapabilities(), 0);
    ASSERT_TRUE(comm.Open());
    std::atomic<bool> done{false};
    std::thread mover([&] {
        for (int i = 0; i < 40 && !done.load(); ++i) {
            comm.StartMove(nullptr, i % 10, 1 + i % 16);
            comm.StopMoving(nullptr);
            std::this_thread::sleep_for(3ms);
        }
    });
    int presetFailures = 0;
    for (int i = 0; i < 10; ++i) {
        presetFailures += comm.SetPreposition(i, "P") ? 0 : 1;
        presetFailures += comm.CallPreposition(i, "P", 0) ? 0 : 1;
        presetFailures += comm.ClearPreposition(i, "P") ? 0 : 1;
    }
    mover.join();
    done.store(true);
    EXPECT_TRUE(comm.Close());
    EXPECT_EQ(presetFailures, 0);

    // The camera answers each request kDelayMs after receiving it. Requests through one client
    // used by one thread at a time therefore arrive at least kDelayMs apart; two requests in
    // flight at once would arrive closer together.
    auto requests = camera_->Requests();
    ASSERT_GE(requests.size(), 31u);
    std::sort(requests.begin(), requests.end(),
              [](const auto& a, const auto& b) { return a.received < b.received; });
    for (size_t i = 1; i < requests.size(); ++i) {
        EXPECT_GE(requests[i].received - requests[i - 1].received,
                  std::chrono::milliseconds(kDelayMs))
            << requests[i - 1].target << " and " << requests[i].target << " overlapped";
    }
}

}  // namespace
