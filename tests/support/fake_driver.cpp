#include "support/fake_driver.h"

#include <cstdarg>
#include <cstdio>

#include "http/text_utils.h"
#include "support/test_platform.h"

namespace zarntest {

FakeDriver::FakeDriver() {
    device_.requestTimeoutMs = 10000;
    device_.noDataTimeoutMs = 10000;
    device_.address = "127.0.0.1";
}

void FakeDriver::Log(int32_t level, const char* format, ...) {
    Touch();
    va_list args;
    va_start(args, format);
    char buffer[4096];
    std::vsnprintf(buffer, sizeof(buffer), format, args);
    va_end(args);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.push_back({level, buffer});
    }
    cv_.notify_all();
}

talvane::DEVICE_INFO* FakeDriver::GetDeviceInfo(talvane::DEVICE_INFO* info) {
    Touch();
    std::lock_guard<std::mutex> lock(mutex_);
    *info = device_;
    return info;
}

talvane::DeviceValues* FakeDriver::GetDeviceValues(talvane::DeviceValues* values) {
    Touch();
    *values = talvane::DeviceValues{};
    return values;
}

talvane::IFrameAllocator* FakeDriver::GetFrameAllocator() {
    Touch();
    std::lock_guard<std::mutex> lock(mutex_);
    return allocator_;
}

const char* FakeDriver::GetParameterText(int32_t index) {
    Touch();
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = parameters_.find(index);
    return it == parameters_.end() ? nullptr : it->second.c_str();
}

int32_t FakeDriver::GetParameterInt(int32_t index) {
    const char* text = GetParameterText(index);
    int32_t value = 0;
    if (text == nullptr || !HUtils::ParseInt(text, value)) return kNoParameter;
    return value;
}

void FakeDriver::SetDevice(const talvane::DEVICE_INFO& device) {
    std::lock_guard<std::mutex> lock(mutex_);
    device_ = device;
}

void FakeDriver::SetAllocator(talvane::IFrameAllocator* allocator) {
    std::lock_guard<std::mutex> lock(mutex_);
    allocator_ = allocator;
}

void FakeDriver::SetParameter(int32_t index, const std::string& value) {
    std::lock_guard<std::mutex> lock(mutex_);
    parameters_[index] = value;
}

std::vector<DriverLogLine> FakeDriver::Lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
}

size_t FakeDriver::Count(const std::string& needle) const {
    std::lock_guard<std::mutex> lock(mutex_);
    size_t n = 0;
    for (const auto& l : lines_) {
        if (l.text.find(needle) != std::string::npos) ++n;
    }
    return n;
}

bool FakeDriver::WaitFor(const std::string& needle, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, Scaled(timeout), [&] {
        for (const auto& l : lines_) {
            if (l.text.find(needle) != std::string::npos) return true;
        }
        return false;
    });
}

}  // namespace zarntest
