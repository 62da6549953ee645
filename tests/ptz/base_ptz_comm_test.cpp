// The PTZ command thread: capability gates, refusals while not running, the thread's name, the
// pending limit of one (bursts collapse), the host capability record and the log forwarding.
#include "ptz/base_ptz_comm.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "ptz/recording_ptz_comm.h"
#include "support/fake_driver.h"

namespace {

using namespace std::chrono_literals;
using talvane::CBasePTZComm;
using talvane::CPtzCapabilities;

using ptztest::RecordingComm;

// A distinct pointer to check that the context is handed through untouched.
IIPParams* FakeContext() {
    return reinterpret_cast<IIPParams*>(uintptr_t{0x1000});
}

class BasePtzCommTest : public ::testing::Test {
protected:
    zarntest::FakeDriver driver_;
};

TEST_F(BasePtzCommTest, EveryRequestIsRefusedAndLoggedWhileNotStarted) {
    RecordingComm comm(&driver_, CPtzCapabilities(), 0);
    EXPECT_FALSE(comm.Close());  // never opened: nothing to do

    EXPECT_EQ(comm.StartMove(nullptr, 0, 5), talvane::kPtzFailed);
    EXPECT_EQ(comm.StartFocus(nullptr, true, 5), talvane::kPtzFailed);
    EXPECT_EQ(comm.StartIris(nullptr, false, 5), talvane::kPtzFailed);
    EXPECT_FALSE(comm.StopMoving(nullptr));
    EXPECT_FALSE(comm.StopZooming(nullptr));
    EXPECT_FALSE(comm.StopFocusing(nullptr));
    EXPECT_FALSE(comm.StopIrisChanging(nullptr));

    const std::vector<std::string> expected = {
        "talvane::CBasePTZComm::StartMove: cannot send message (1) to thread",
        "talvane::CBasePTZComm::StartFocus: cannot send message (2) to thread",
        "talvane::CBasePTZComm::StartIris: cannot send message (3) to thread",
        "talvane::CBasePTZComm::StopMoving: cannot send message (4) to thread",
        "talvane::CBasePTZComm::StopZooming: cannot send message (4) to thread",
        "talvane::CBasePTZComm::StopFocusing: cannot send message (4) to thread",
        "talvane::CBasePTZComm::StopIrisChanging: cannot send message (4) to thread",
    };
    const auto lines = driver_.Lines();
    ASSERT_EQ(lines.size(), expected.size());
    for (size_t i = 0; i < lines.size(); ++i) {
        EXPECT_EQ(lines[i].text, expected[i]);
        EXPECT_EQ(lines[i].level, talvane::kLogFailure);
    }

    // After a Close the requests are refused again.
    ASSERT_TRUE(comm.Open());
    EXPECT_TRUE(comm.Close());
    EXPECT_EQ(comm.StartMove(nullptr, 1, 5), talvane::kPtzFailed);
    EXPECT_TRUE(comm.Executed().empty());
}

TEST_F(BasePtzCommTest, OptionalFeaturesAreRefusedWithoutLoggingOrQueueing) {
    CPtzCapabilities capabilities;
    capabilities.focus = 0;
    capabilities.iris = 0;
    RecordingComm comm(&driver_, capabilities, 0);
    // Not opened: a capability refusal comes first and logs nothing.
    EXPECT_EQ(comm.AreaZoom(nullptr, 1, 2, 3, 4), talvane::kPtzNotSupported);
    EXPECT_EQ(comm.Center(nullptr, 1, 2, 3), talvane::kPtzNotSupported);
    EXPECT_EQ(comm.Unzoom(nullptr, 3), talvane::kPtzNotSupported);
    EXPECT_EQ(comm.StartFocus(nullptr, true, 3), talvane::kPtzNotSupported);
    EXPECT_EQ(comm.StartIris(nullptr, true, 3), talvane::kPtzNotSupported);
    EXPECT_TRUE(driver_.Lines().empty());

    ASSERT_TRUE(comm.Open());
    EXPECT_EQ(comm.AreaZoom(nullptr, 1, 2, 3, 4), talvane::kPtzNotSupported);
    EXPECT_EQ(comm.PendingCount(), 0u);
    EXPECT_TRUE(driver_.Lines().empty());

    // Pan and tilt both clear: moves (zoom included) are refused.
    CPtzCapabilities fixed;
    fixed.pan = 0;
    fixed.tilt = 0;
    RecordingComm fixedComm(&driver_, fixed, 0);
    ASSERT_TRUE(fixedComm.Open());
    EXPECT_EQ(fixedComm.StartMove(nullptr, talvane::kPtzZoomIn, 1), talvane::kPtzNotSupported);
    EXPECT_TRUE(fixedComm.IsPtzSupported());  // zoom, focus and iris remain

    CPtzCapabilities none;
    none.pan = none.tilt = none.zoom = none.focus = none.iris = 0;
    none.areaZoom = 1;
    RecordingComm noneComm(&driver_, none, 0);
    EXPECT_FALSE(noneComm.IsPtzSupported());
}

TEST_F(BasePtzCommTest, ItemsCarryTheirFieldsAndRunOnTheNamedThread) {
    CPtzCapabilities all;
    all.areaZoom = all.center = all.unzoom = 1;
    RecordingComm comm(&driver_, all, 0);
    ASSERT_TRUE(comm.Open());
    EXPECT_TRUE(comm.Open());  // a second Open keeps the running thread
    EXPECT_EQ(comm.Name(), "BaseIPPTZThread_Ch1");

    // One at a time, each waited for, so that the pending limit drops nothing.
    size_t n = 0;
    auto post = [&](auto request) {
        request();
        ASSERT_TRUE(comm.WaitExecuted(++n));
    };
    post([&] { EXPECT_EQ(comm.StartMove(FakeContext(), 6, 12), 1); });
    post([&] { EXPECT_EQ(comm.StartFocus(FakeContext(), true, 7), 1); });
    post([&] { EXPECT_EQ(comm.StartFocus(FakeContext(), false, 7), 1); });
    post([&] { EXPECT_EQ(comm.StartIris(FakeContext(), true, 2), 1); });
    post([&] { EXPECT_EQ(comm.StartIris(FakeContext(), false, 2), 1); });
    post([&] { EXPECT_TRUE(comm.StopMoving(FakeContext())); });
    post([&] { EXPECT_TRUE(comm.StopZooming(FakeContext())); });
    post([&] { EXPECT_TRUE(comm.StopFocusing(FakeContext())); });
    post([&] { EXPECT_TRUE(comm.StopIrisChanging(FakeContext())); });
    post([&] { EXPECT_EQ(comm.AreaZoom(FakeContext(), 10, 20, 30, 40), 1); });
    post([&] { EXPECT_EQ(comm.Center(FakeContext(), 11, 21, 31), 1); });
    post([&] { EXPECT_EQ(comm.Unzoom(FakeContext(), 5), 1); });

    struct Want {
        int32_t message, code, speed, p1, p2, p3;
    };
    const Want want[] = {
        {1, 0, 12, 6, 0, 0}, {2, 2, 7, 0, 0, 0},     {2, 1, 7, 0, 0, 0},    {3, 3, 2, 0, 0, 0},
        {3, 4, 2, 0, 0, 0},  {4, 5, 0, 0, 0, 0},     {4, 6, 0, 0, 0, 0},    {4, 7, 0, 0, 0, 0},
        {4, 8, 0, 0, 0, 0},  {5, 0, 40, 10, 20, 30}, {6, 0, 31, 11, 21, 0}, {7, 0, 5, 0, 0, 0},
    };
    const auto items = comm.Executed();
    ASSERT_EQ(items.size(), std::size(want));
    for (size_t i = 0; i < items.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(items[i].message, want[i].message);
        EXPECT_EQ(items[i].code, want[i].code);
        EXPECT_EQ(items[i].speed, want[i].speed);
        EXPECT_EQ(items[i].p1, want[i].p1);
        EXPECT_EQ(items[i].p2, want[i].p2);
        EXPECT_EQ(items[i].p3, want[i].p3);
        EXPECT_EQ(items[i].context, FakeContext());
        EXPECT_EQ(items[i].thread, "BaseIPPTZThread_Ch1");
    }
    EXPECT_TRUE(driver_.Lines().empty());
}

TEST_F(BasePtzCommTest, ABurstCollapsesToTheRunningItemAndTheNewest) {
    RecordingComm comm(&driver_, CPtzCapabilities(), 2);
    ASSERT_TRUE(comm.Open());
    EXPECT_EQ(comm.Name(), "BaseIPPTZThread_Ch3");

    comm.Hold();
    ASSERT_EQ(comm.StartMove(nullptr, talvane::kPtzLeft, 16), 1);
    ASSERT_TRUE(comm.WaitEntered());  // the move is executing and blocked
    EXPECT_EQ(comm.StartMove(nullptr, talvane::kPtzRight, 16), 1);
    EXPECT_EQ(comm.StartFocus(nullptr, true, 3), 1);
    EXPECT_EQ(comm.StartMove(nullptr, talvane::kPtzUp, 16), 1);
    EXPECT_TRUE(comm.StopMoving(nullptr));
    EXPECT_EQ(comm.PendingCount(), 1u);
    comm.Release();

    ASSERT_TRUE(comm.WaitExecuted(2));
    EXPECT_TRUE(comm.Close());
    const auto items = comm.Executed();
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0].message, CBasePTZComm::kMessageMove);
    EXPECT_EQ(items[0].p1, talvane::kPtzLeft);
    EXPECT_EQ(items[1].message, CBasePTZComm::kMessageStop);
    EXPECT_EQ(items[1].code, CBasePTZComm::kCodeStopMoving);
}

TEST_F(BasePtzCommTest, AFailingItemDoesNotEndTheThread) {
    RecordingComm comm(&driver_, CPtzCapabilities(), 0);
    ASSERT_TRUE(comm.Open());
    comm.ThrowNext();
    ASSERT_EQ(comm.StartMove(nullptr, 0, 1), 1);
    ASSERT_TRUE(comm.WaitExecuted(1));
    ASSERT_TRUE(comm.StopMoving(nullptr));
    ASSERT_TRUE(comm.WaitExecuted(2));
}

TEST_F(BasePtzCommTest, CloseDropsWaitingItemsAndReopenWorks) {
    RecordingComm comm(&driver_, CPtzCapabilities(), 0);
    ASSERT_TRUE(comm.Open());
    comm.Hold();
    ASSERT_EQ(comm.StartMove(nullptr, 0, 1), 1);
    ASSERT_TRUE(comm.WaitEntered());
    ASSERT_TRUE(comm.StopMoving(nullptr));  // waits behind the move
    // Close waits for the move in progress; release it from another thread.
    std::thread releaser([&] {
        std::this_thread::sleep_for(50ms);
        comm.Release();
    });
    EXPECT_TRUE(comm.Close());
    releaser.join();
    EXPECT_EQ(comm.Executed().size(), 1u);  // the stop was dropped
    EXPECT_FALSE(comm.IsStarted());

    ASSERT_TRUE(comm.Open());
    ASSERT_EQ(comm.StartMove(nullptr, 1, 1), 1);
    ASSERT_TRUE(comm.WaitExecuted(2));
}

TEST_F(BasePtzCommTest, CapabilityRecordLeavesTheHostFieldAlone) {
    CPtzCapabilities capabilities;
    capabilities.tilt = 0;
    capabilities.center = 1;
    capabilities.maxPresets = 17;
    RecordingComm comm(&driver_, capabilities, 0);
    talvane::PtzCapabilityRecord record;
    std::memset(&record, 0x5A, sizeof(record));
    EXPECT_EQ(comm.GetCapabilities(&record), 1);
    EXPECT_EQ(record.hostField, 0x5A5A5A5A);
    EXPECT_EQ(record.pan, 1);
    EXPECT_EQ(record.tilt, 0);
    EXPECT_EQ(record.zoom, 1);
    EXPECT_EQ(record.focus, 1);
    EXPECT_EQ(record.iris, 1);
    EXPECT_EQ(record.reserved7, 0);
    EXPECT_EQ(record.maxPresets, 17);
    EXPECT_EQ(record.presetCount, 0);
    EXPECT_EQ(record.reserved10, 0);
    EXPECT_EQ(record.reserved11, 0);
    EXPECT_EQ(record.areaZoom, 0);
    EXPECT_EQ(record.center, 1);
    EXPECT_EQ(record.unzoom, 0);
}

TEST_F(BasePtzCommTest, LogFormatsOnceAndForwardsPlainText) {
    RecordingComm comm(&driver_, CPtzCapabilities(), 0);
    IDebugMessage& log = comm;
    // A percent sign in an argument must reach the owner unexpanded.
    log.Log(3, "%s: name \"%s\" (%d)", "talvane::Test", "50%s off", 7);
    const auto lines = driver_.Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, 3);
    EXPECT_EQ(lines[0].text, "talvane::Test: name \"50%s off\" (7)");

    // A message longer than any fixed buffer is formatted whole.
    const std::string longText(10000, 'x');
    log.Log(1, "%s", longText.c_str());
    ASSERT_EQ(driver_.Lines().size(), 2u);
    EXPECT_EQ(driver_.Lines()[1].text.substr(0, 100), longText.substr(0, 100));

    // Without an owner nothing is logged and nothing breaks.
    RecordingComm orphan(nullptr, CPtzCapabilities(), 0);
    orphan.Log(1, "%s", "dropped");
    EXPECT_EQ(orphan.StartMove(nullptr, 0, 1), talvane::kPtzFailed);
}

}  // namespace
