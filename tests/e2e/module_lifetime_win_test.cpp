// Windows only: the host loads and unloads the driver many times in one process. Each round
// creates a driver, starts a channel (the camera gets its configuration request over WinHTTP),
// deletes the driver and frees the library; some rounds stream pictures first. The process lives
// on, the module stays loaded once it was used (it is pinned at the first create), and its
// threads, handles and thread-local storage slots come back to what they were.
#include <windows.h>
// After windows.h.
#include <gtest/gtest.h>
#include <tlhelp32.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "camsim.h"
#include "support/driver_module.h"
#include "support/fake_host.h"
#include "support/module_fixture.h"
#include "support/vtable.h"

namespace {

using namespace std::chrono_literals;
using zarntest::CallSlot;

constexpr int kCaptureStartChannel = 2;
constexpr int kRounds = 300;
constexpr const char* kConfigure = "/cgi-bin/AVConfig.cgi";

size_t ThreadCount() {
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return 0;
    size_t count = 0;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        count += entry.th32OwnerProcessID == GetCurrentProcessId();
    }
    CloseHandle(snapshot);
    return count;
}

size_t HandleCount() {
    DWORD count = 0;
    GetProcessHandleCount(GetCurrentProcess(), &count);
    return count;
}

// The lowest free thread-local storage slot: it grows when a load takes a slot it never frees.
DWORD LowestFreeTlsSlot() {
    const DWORD slot = TlsAlloc();
    TlsFree(slot);
    return slot;
}

// Waits (bounded) until `count` is back at `start` at most; returns the last value seen.
template <class Count>
size_t SettledAt(Count count, size_t start) {
    size_t now = count();
    for (int i = 0; i < 100 && now > start; ++i) {
        std::this_thread::sleep_for(100ms);
        now = count();
    }
    return now;
}

class ModuleLifetimeTest : public ::testing::Test {
protected:
    // One round: load, create, open, start channel 0, optionally wait for pictures, delete, free.
    void Round(bool stream) {
        zarntest::DriverModule module;
        ASSERT_TRUE(module.Loaded()) << module.Error();
        auto create = module.Function<void* (*)()>("CreateIPCapture");
        auto destroy = module.Function<void (*)(void*)>("DeleteIPCapture");
        ASSERT_NE(create, nullptr);
        void* driver = create();
        ASSERT_NE(driver, nullptr);
        zarntest::FakeDebugSink log;
        zarntest::FakeFrameAllocator allocator;
        zarntest::FakeChannelSink sink;
        zarntest::FakeStreamSettings settings(176, 144, 40, 50);
        const bool opened = CallSlot<bool, void*, void*, void*>(driver, zarntest::kDriverOpen, &log,
                                                                &allocator, &config_);
        void* capture =
            opened ? CallSlot<void*>(driver, zarntest::kDriverGetVideoCapture) : nullptr;
        const bool started =
            capture != nullptr && CallSlot<bool, uint32_t, void*, void*>(
                                      capture, kCaptureStartChannel, 0, &sink, &settings);
        const size_t configured = configured_;
        const bool asked = started && camera_->WaitForRequestCount(kConfigure, configured + 1, 10s);
        const bool pictures = !stream || (asked && sink.WaitForFrames(3, 30s));
        destroy(driver);
        configured_ = Configures(camera_->Requests());
        module.Unload();
        ASSERT_TRUE(opened && started && asked && pictures)
            << opened << started << asked << pictures;
        EXPECT_EQ(allocator.Outstanding(), 0u);
    }
    static size_t Configures(const std::vector<zarncam::RequestRecord>& requests) {
        size_t n = 0;
        for (const auto& r : requests) n += r.target.rfind(kConfigure, 0) == 0;
        return n;
    }

    void SetUp() override {
        camera_ = std::make_unique<zarncam::Camera>();
        ASSERT_TRUE(camera_->Start());
        config_.network.address = "127.0.0.1";
        config_.network.port = camera_->Port();
        config_.network.user = "admin";
        config_.network.password = "admin";
    }

    std::unique_ptr<zarncam::Camera> camera_;
    zarntest::FakeDriverConfig config_;
    size_t configured_ = 0;
};

TEST_F(ModuleLifetimeTest, HundredsOfLoadStreamDeleteUnloadRoundsLeaveNothingBehind) {
    // The first round lets the system's libraries settle (WinHTTP's and Winsock's own threads).
    Round(true);
    ASSERT_FALSE(HasFatalFailure());
    EXPECT_TRUE(zarntest::DriverModule::IsLoaded());  // pinned by its first create
    std::this_thread::sleep_for(1s);
    const size_t threads = ThreadCount();
    const size_t handles = HandleCount();
    const DWORD tlsSlot = LowestFreeTlsSlot();

    for (int round = 1; round < kRounds && !HasFatalFailure(); ++round) {
        Round(round % 100 == 0);
    }
    ASSERT_FALSE(HasFatalFailure());
    EXPECT_TRUE(zarntest::DriverModule::IsLoaded());
    EXPECT_EQ(LowestFreeTlsSlot(), tlsSlot);
    EXPECT_LE(SettledAt(ThreadCount, threads), threads);
    EXPECT_LE(SettledAt(HandleCount, handles), handles);
}

}  // namespace
