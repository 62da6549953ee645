// No exception reaches the host: the driver's slots and exports answer their failure value (or,
// for a video capture object that cannot be allocated, the answer the host relies on) instead,
// and say why at level 1. Allocation failures come from the replaceable operator new below, which
// fails one chosen allocation on the calling thread; host objects that throw are fakes.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <stdexcept>

#include "driver/ip_video_capture.h"
#include "driver/zarn_hd_ip_capture_driver.h"
#include "support/fake_host.h"
#include "zarn/capture.h"

namespace {

thread_local size_t tFailSize = 0;  // an allocation of this size fails; 0: none
thread_local size_t tFailSkip = 0;  // allocations of that size let through before it

// Where the allocations of one size went, in order, so that a test can find which of them made a
// given object (other objects may have the same size).
constexpr size_t kMostWatched = 256;
thread_local size_t tWatchSize = 0;
thread_local size_t tWatchCount = 0;
thread_local void* tWatched[kMostWatched];

// Makes the allocation of exactly `size` bytes on this thread that follows `skip` others of that
// size throw std::bad_alloc.
void FailAllocationOfSize(size_t size, size_t skip = 0) {
    tFailSize = size;
    tFailSkip = skip;
}

void* Allocate(size_t size) {
    if (tFailSize != 0 && size == tFailSize) {
        if (tFailSkip == 0) {
            tFailSize = 0;
            throw std::bad_alloc();
        }
        --tFailSkip;
    }
    void* p = std::malloc(size != 0 ? size : 1);
    if (p == nullptr) throw std::bad_alloc();
    if (tWatchSize != 0 && size == tWatchSize && tWatchCount < kMostWatched) {
        tWatched[tWatchCount++] = p;
    }
    return p;
}

// Which allocation of `size` bytes (0 for the first) during `run` made the object at `object`.
template <class Run>
size_t AllocationIndexOf(size_t size, Run&& run) {
    tWatchSize = size;
    tWatchCount = 0;
    const void* object = run();
    tWatchSize = 0;
    for (size_t i = 0; i < tWatchCount; ++i) {
        const auto* begin = static_cast<const char*>(tWatched[i]);
        const auto* at = static_cast<const char*>(object);
        if (at >= begin && at < begin + size) return i;
    }
    ADD_FAILURE() << "no allocation of " << size << " bytes made the object";
    return 0;
}

}  // namespace

// Every form is replaced: a sanitizer's run-time supplies its own for any form left out.
void* operator new(size_t size) {
    return Allocate(size);
}
void* operator new[](size_t size) {
    return Allocate(size);
}
void* operator new(size_t size, const std::nothrow_t&) noexcept {
    try {
        return Allocate(size);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](size_t size, const std::nothrow_t&) noexcept {
    try {
        return Allocate(size);
    } catch (...) {
        return nullptr;
    }
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, size_t) noexcept {
    std::free(p);
}

// The exports, linked into this program as into the module.
extern "C" talvane::ipcapture::IIPCaptureDriverEx3* CreateIPCapture();
extern "C" void DeleteIPCapture(talvane::ipcapture::IIPCaptureDriverEx3* driver);

namespace {

using talvane::CZarnHDIPCaptureDriver;

// Host configuration objects that throw, as a faulty host (or a fake) may.
class ThrowingConfig final : public talvane::IDriverConfig {
public:
    ZARN_IMPLEMENT_SLOT0(ThrowingConfig)
    talvane::IDeviceSettings* GetDeviceSettings() override { return &device_; }
    talvane::INetworkSettings* GetNetworkSettings() override {
        throw std::runtime_error("network settings unavailable");
    }
    void Reserved3() override {}
    const char* GetExtraParameter(int32_t) override { return nullptr; }

private:
    zarntest::FakeDeviceSettings device_;
};

class ThrowingSettings final : public talvane::IStreamSettings {
public:
    ZARN_IMPLEMENT_SLOT0(ThrowingSettings)
    talvane::IStreamFormat* GetFormat() override { throw std::logic_error("no format"); }
    talvane::IStreamRate* GetRate() override { throw std::logic_error("no rate"); }
};

TEST(DriverBoundaryTest, OpenWithoutMemoryForTheVideoCaptureStillSucceeds) {
    zarntest::FakeDebugSink sink;
    zarntest::FakeFrameAllocator allocator;
    zarntest::FakeDriverConfig config;
    // Other objects of the driver may have the video capture object's size: a first open finds
    // which allocation of that size is the video capture object's.
    const size_t index = AllocationIndexOf(sizeof(talvane::CIPVideoCapture), [&] {
        CZarnHDIPCaptureDriver first;
        first.Open(&sink, &allocator, &config);
        const void* object = first.GetVideoCapture();
        first.Close();
        return object;
    });
    sink.Clear();
    CZarnHDIPCaptureDriver driver;
    FailAllocationOfSize(sizeof(talvane::CIPVideoCapture), index);
    EXPECT_TRUE(driver.Open(&sink, &allocator, &config));
    EXPECT_EQ(driver.GetVideoCapture(), nullptr);
    EXPECT_EQ(driver.GetVideoCaptureEx(), nullptr);
    EXPECT_NE(driver.GetPtzDriver(), nullptr);
    const auto records = sink.Matching("not enough memory for the video capture object");
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].level, 1);
    EXPECT_EQ(sink.Count("DRIVER IS OPENED"), 1u);
}

TEST(DriverBoundaryTest, ExceptionsStopAtTheSlotAndAreLoggedOnce) {
    zarntest::FakeDebugSink sink;
    zarntest::FakeFrameAllocator allocator;
    {
        // Open: false, one level-1 record naming the slot.
        ThrowingConfig config;
        CZarnHDIPCaptureDriver driver;
        EXPECT_FALSE(driver.Open(&sink, &allocator, &config));
        const auto records = sink.Matching("unexpected failure (network settings unavailable)");
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(records[0].level, 1);
        EXPECT_NE(records[0].text.find("Open"), std::string::npos);
    }
    sink.Clear();

    // Video capture slots: false, one record each.
    zarntest::FakeDriverConfig config;
    CZarnHDIPCaptureDriver driver;
    ASSERT_TRUE(driver.Open(&sink, &allocator, &config));
    talvane::ipcapture::IIPVideoCapture* capture = driver.GetVideoCapture();
    ASSERT_NE(capture, nullptr);
    zarntest::FakeChannelSink channelSink;
    ThrowingSettings settings;
    EXPECT_FALSE(capture->StartChannel(0, &channelSink, &settings));
    EXPECT_EQ(sink.Count("talvane::CIPVideoCapture::StartChannel: unexpected failure (no rate)"),
              1u);
    int32_t state = -1;
    EXPECT_FALSE(capture->GetChannelState(0, &state, nullptr, nullptr, 0));

    // The exports: a driver that cannot be made is null, not an exception.
    FailAllocationOfSize(sizeof(CZarnHDIPCaptureDriver));
    EXPECT_EQ(CreateIPCapture(), nullptr);
    auto* created = CreateIPCapture();
    ASSERT_NE(created, nullptr);
    DeleteIPCapture(created);
    DeleteIPCapture(nullptr);
}

}  // namespace
