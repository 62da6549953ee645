// A PTZ command object whose camera address never resolves: Close cannot abort a host-name
// lookup, so it returns after its bound and the PTZ thread is let go; Discard leaves the object's
// deletion to that thread.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "ptz/zarn_hd_ptz_comm.h"
#include "support/fake_driver.h"
#include "support/let_go_workers.h"
#include "support/stalling_resolver.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

TEST(PtzClosePosixTest, AddressThatNeverResolvesIsLetGoWithinTheBound) {
    // A move in flight is aborted by Close; a stop is let run to its end, and its failure (no
    // answer) would be logged if the let-go thread could still reach the driver.
    for (const bool stop : {false, true}) {
        SCOPED_TRACE(stop ? "stop" : "move");
        zarntest::StallingResolver::Rearm();
        zarntest::FakeDriver driver;
        talvane::DEVICE_INFO device;
        device.address = std::string("ptz") + zarntest::StallingResolver::kStallingSuffix;
        device.requestTimeoutMs = 500;  // Close waits that long for the thread
        driver.SetDevice(device);
        auto* comm = new talvane::CZarnHDPTZComm(&driver, talvane::CPtzCapabilities(), 0);
        ASSERT_TRUE(comm->Open());

        const size_t before = zarntest::StallingResolver::Started();
        if (stop) {
            ASSERT_TRUE(comm->StopMoving(nullptr));
        } else {
            ASSERT_EQ(comm->StartMove(nullptr, talvane::kPtzLeft, 8), talvane::kPtzOk);
        }
        ASSERT_TRUE(zarntest::StallingResolver::WaitForStarted(before + 1, 10s));
        std::this_thread::sleep_for(700ms);  // past the request's own connect time-out

        const auto start = Clock::now();
        comm->Discard();
        EXPECT_LT(Clock::now() - start, 500ms + 500ms + 1500ms);
        EXPECT_EQ(driver.Count("The PTZ thread of channel 1 did not end in time"), 1u);

        driver.Seal();
        zarntest::StallingResolver::Release();
        EXPECT_TRUE(zarntest::WaitForLetGoWorkersToEnd(10s));
        EXPECT_EQ(driver.CallsAfterSeal(), 0u);
    }
}

}  // namespace
