// A fake of the driver's IDriver services for unit tests of channels, the parser and PTZ objects:
// records log lines (formatted), hands out a settable connection record, frame allocator and
// extra parameters.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "core/idriver.h"

namespace zarntest {

struct DriverLogLine {
    int32_t level;
    std::string text;
};

class FakeDriver : public talvane::IDriver {
public:
    FakeDriver();
    void Log(int32_t level, const char* format, ...) override __attribute__((format(printf, 3, 4)));
    talvane::DEVICE_INFO* GetDeviceInfo(talvane::DEVICE_INFO* info) override;
    talvane::DeviceValues* GetDeviceValues(talvane::DeviceValues* values) override;
    talvane::IFrameAllocator* GetFrameAllocator() override;
    int32_t GetVideoStandard() override { return 0; }
    int32_t GetStreamKind() override { return talvane::kStreamKindH264Http; }
    const char* GetParameterText(int32_t index) override;
    int32_t GetParameterInt(int32_t index) override;

    void SetDevice(const talvane::DEVICE_INFO& device);
    void SetAllocator(talvane::IFrameAllocator* allocator);
    void SetParameter(int32_t index, const std::string& value);

    // Counts every call after this (checks that a let-go worker no longer reaches the driver).
    void Seal() { sealed_ = true; }
    size_t CallsAfterSeal() const { return callsAfterSeal_.load(); }

    std::vector<DriverLogLine> Lines() const;
    size_t Count(const std::string& needle) const;
    bool WaitFor(const std::string& needle, std::chrono::milliseconds timeout) const;

private:
    void Touch() {
        if (sealed_.load()) ++callsAfterSeal_;
    }

    std::atomic<bool> sealed_{false};
    std::atomic<size_t> callsAfterSeal_{0};
    mutable std::mutex mutex_;
    mutable std::condition_variable cv_;
    talvane::DEVICE_INFO device_;
    talvane::IFrameAllocator* allocator_ = nullptr;
    std::map<int32_t, std::string> parameters_;
    std::vector<DriverLogLine> lines_;
};

}  // namespace zarntest
