// Helpers shared by the fuzz targets: a reader of the input's control bytes, a driver that only
// hands out the frame allocator and swallows log lines, a pooled frame allocator and a clock that
// never waits.
//
// Everything here is single-threaded (libFuzzer runs one input at a time on one thread) and lives
// for the whole process, so that an input costs no set-up.
#pragma once

#include <algorithm>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/idriver.h"
#include "media/pacing_clock.h"
#include "zarn/host.h"

namespace zarnfuzz {

// A property every input must keep; a breach is a finding (libFuzzer saves the input).
#define ZARN_FUZZ_CHECK(condition)                                                        \
    do {                                                                                  \
        if (!(condition)) {                                                               \
            std::fprintf(stderr, "fuzz check failed: %s (%s:%d)\n", #condition, __FILE__, \
                         __LINE__);                                                       \
            std::abort();                                                                 \
        }                                                                                 \
    } while (false)

// Takes control values from the front of the input; past the end every value is 0.
class InputReader {
public:
    InputReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    uint8_t Byte() { return position_ < size_ ? data_[position_++] : 0; }
    uint16_t Word() {
        const uint16_t low = Byte();
        return static_cast<uint16_t>(low | (uint16_t{Byte()} << 8));
    }
    // The bytes not taken yet.
    const uint8_t* Rest() const { return data_ + std::min(position_, size_); }
    size_t RestSize() const { return position_ < size_ ? size_ - position_ : 0; }

private:
    const uint8_t* data_;
    size_t size_;
    size_t position_ = 0;
};

// A frame whose buffer has exactly the capacity asked for, so that AddressSanitizer sees any write
// past it. Buffers come from and go back to the allocator's pool.
class PooledFrame final : public talvane::IHostFrame {
public:
    ZARN_IMPLEMENT_SLOT0(PooledFrame)
    uint32_t GetCapacity() override { return capacity; }
    uint8_t* GetBuffer() override { return buffer; }
    uint32_t GetDataSize() override { return dataSize; }
    void SetDataSize(uint32_t size) override { dataSize = size; }
    void StampTime() override { ++time.wMilliseconds; }
    void SetTime(const SYSTEMTIME* t) override { time = *t; }
    void GetTime(SYSTEMTIME* t) override { *t = time; }
    void Reserved8() override { std::abort(); }
    uint32_t GetFourCC() override { return fourcc; }
    void SetFourCC(uint32_t value) override { fourcc = value; }
    uint32_t GetHeight() override { return height; }
    void SetHeight(uint32_t value) override { height = value; }
    uint32_t GetWidth() override { return width; }
    void SetWidth(uint32_t value) override { width = value; }
    uint32_t GetSizeClass() override { return sizeClass; }
    void SetSizeClass(uint32_t value) override { sizeClass = value; }

    uint8_t* buffer = nullptr;
    uint32_t capacity = 0;
    uint32_t dataSize = 0;
    uint32_t fourcc = 0;
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t sizeClass = 0;
    SYSTEMTIME time{};
};

// Hands out frames from a pool keyed by capacity: after the first inputs no frame costs an
// allocation. Can be told to refuse allocations or to hand out frames without a buffer.
class PooledFrameAllocator final : public talvane::IFrameAllocator {
public:
    ZARN_IMPLEMENT_SLOT0(PooledFrameAllocator)
    void Reserved1() override { std::abort(); }
    talvane::IHostFrame* AllocateFrame(uint32_t fourcc, uint32_t capacity,
                                       const char* name) override;
    void Reserved3() override { std::abort(); }
    void Reserved4() override { std::abort(); }
    void Reserved5() override { std::abort(); }
    void ReleaseFrame(talvane::IHostFrame* frame) override;

    // Every `n`th allocation fails (0: none); with `nullBuffer` the failing ones hand out a frame
    // without a buffer instead of no frame.
    void SetFailEvery(uint32_t n, bool nullBuffer) {
        failEvery_ = n;
        nullBuffer_ = nullBuffer;
    }
    void ResetCounts() { allocations_ = 0; }
    size_t Outstanding() const { return outstanding_; }
    uint32_t LastCapacity() const { return lastCapacity_; }
    // Whether the last allocation was refused (no frame or no buffer).
    bool LastFailed() const { return lastFailed_; }

private:
    static constexpr uint32_t kLargestPooled = 128 * 1024;
    struct Slot {
        std::unique_ptr<uint8_t[]> buffer;
        PooledFrame frame;
    };
    std::map<uint32_t, std::vector<std::unique_ptr<Slot>>> free_;
    std::map<const talvane::IHostFrame*, std::unique_ptr<Slot>> used_;
    PooledFrame empty_;
    uint32_t failEvery_ = 0;
    bool nullBuffer_ = false;
    uint32_t allocations_ = 0;
    size_t outstanding_ = 0;
    uint32_t lastCapacity_ = 0;
    bool lastFailed_ = false;
};

// The driver services a parser or a properties object needs: the allocator and a log that formats
// every line (so that a bad format or argument shows) and drops it.
class FuzzDriver final : public talvane::IDriver {
public:
    explicit FuzzDriver(talvane::IFrameAllocator* allocator = nullptr) : allocator_(allocator) {}
    void Log(int32_t level, const char* format, ...) override __attribute__((format(printf, 3, 4)));
    talvane::DEVICE_INFO* GetDeviceInfo(talvane::DEVICE_INFO* info) override { return info; }
    talvane::DeviceValues* GetDeviceValues(talvane::DeviceValues* values) override {
        return values;
    }
    talvane::IFrameAllocator* GetFrameAllocator() override { return allocator_; }
    int32_t GetVideoStandard() override { return 0; }
    int32_t GetStreamKind() override { return talvane::kStreamKindH264Http; }
    const char* GetParameterText(int32_t) override { return nullptr; }
    int32_t GetParameterInt(int32_t) override { return kNoParameter; }

    size_t Lines() const { return lines_; }

private:
    talvane::IFrameAllocator* allocator_;
    size_t lines_ = 0;
};

// Monotonic time that moves only when something waits: pacing runs its schedule without sleeping.
class InstantClock final : public talvane::IPacingClock {
public:
    uint64_t NowMs() override { return now_ += 1; }
    void Wait(uint32_t ms) override { now_ += ms; }

private:
    uint64_t now_ = 1000;
};

}  // namespace zarnfuzz
