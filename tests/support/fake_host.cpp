#include "support/fake_host.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "support/test_platform.h"
namespace zarntest {

namespace {
std::mutex gHandlerMutex;
UnexpectedSlotHandler gHandler;
}  // namespace

void SetUnexpectedSlotHandler(UnexpectedSlotHandler handler) {
    std::lock_guard<std::mutex> lock(gHandlerMutex);
    gHandler = std::move(handler);
}

void ReportUnexpectedSlot(const std::string& what) {
    UnexpectedSlotHandler handler;
    {
        std::lock_guard<std::mutex> lock(gHandlerMutex);
        handler = gHandler;
    }
    if (handler) {
        handler(what);
        return;
    }
    std::fprintf(stderr, "driver called a slot it must never call: %s\n", what.c_str());
    std::abort();
}

// ---- FakeDebugSink

void FakeDebugSink::Output(const talvane::CDebugInfoIf* record) {
    LogRecord r;
    r.level = record->GetLevel();
    const char* text = record->GetText();
    r.textWasNull = text == nullptr;
    if (text != nullptr) r.text = text;
    std::function<void(const LogRecord&)> echo;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (limit_ != 0 && records_.size() >= limit_) {
            records_.erase(records_.begin(),
                           records_.begin() + static_cast<std::ptrdiff_t>(records_.size() / 2));
        }
        records_.push_back(r);
        echo = echo_;
    }
    cv_.notify_all();
    if (echo) echo(r);
}

std::vector<LogRecord> FakeDebugSink::Records() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return records_;
}

std::vector<LogRecord> FakeDebugSink::Matching(const std::string& needle) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<LogRecord> out;
    for (const auto& r : records_) {
        if (r.text.find(needle) != std::string::npos) out.push_back(r);
    }
    return out;
}

bool FakeDebugSink::WaitFor(const std::string& needle, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, Scaled(timeout), [&] {
        return std::any_of(records_.begin(), records_.end(), [&](const LogRecord& r) {
            return r.text.find(needle) != std::string::npos;
        });
    });
}

void FakeDebugSink::Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    records_.clear();
}

void FakeDebugSink::SetLimit(size_t limit) {
    std::lock_guard<std::mutex> lock(mutex_);
    limit_ = limit;
}

void FakeDebugSink::SetEcho(std::function<void(const LogRecord&)> echo) {
    std::lock_guard<std::mutex> lock(mutex_);
    echo_ = std::move(echo);
}

// ---- FakeFrame / FakeFrameAllocator

FakeFrame::FakeFrame(uint32_t fourccIn, uint32_t capacityIn, std::string nameIn)
    : allocFourcc(fourccIn), capacity(capacityIn), name(std::move(nameIn)), buffer(capacityIn) {}

void FakeFrame::StampTime() {
    // The host's clock: UTC now.
    using namespace std::chrono;
    const auto now = floor<milliseconds>(system_clock::now());
    const auto day = floor<days>(now);
    const year_month_day date(day);
    const hh_mm_ss<milliseconds> clock(now - day);
    time.wYear = static_cast<uint16_t>(static_cast<int>(date.year()));
    time.wMonth = static_cast<uint16_t>(static_cast<unsigned>(date.month()));
    time.wDayOfWeek = static_cast<uint16_t>(weekday(day).c_encoding());
    time.wDay = static_cast<uint16_t>(static_cast<unsigned>(date.day()));
    time.wHour = static_cast<uint16_t>(clock.hours().count());
    time.wMinute = static_cast<uint16_t>(clock.minutes().count());
    time.wSecond = static_cast<uint16_t>(clock.seconds().count());
    time.wMilliseconds = static_cast<uint16_t>(clock.subseconds().count());
    stampedAt = std::chrono::steady_clock::now();
}

FakeFrameAllocator::~FakeFrameAllocator() {
    for (FakeFrame* f : live_) delete f;
}

talvane::IHostFrame* FakeFrameAllocator::AllocateFrame(uint32_t fourcc, uint32_t capacity,
                                                       const char* name) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (sealed_) ++callsAfterSeal_;
    capacities_.push_back(capacity);
    if (fail_) return nullptr;
    auto* frame = new FakeFrame(fourcc, capacity, name != nullptr ? name : "");
    live_.push_back(frame);
    ++allocated_;
    return frame;
}

void FakeFrameAllocator::ReleaseFrame(talvane::IHostFrame* frame) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (sealed_) ++callsAfterSeal_;
    auto it = std::find(live_.begin(), live_.end(), frame);
    if (it == live_.end()) {
        ReportUnexpectedSlot("IFrameAllocator::ReleaseFrame of a frame it did not allocate");
        return;
    }
    delete *it;
    live_.erase(it);
    ++released_;
}

void FakeFrameAllocator::SetFailAllocations(bool fail) {
    std::lock_guard<std::mutex> lock(mutex_);
    fail_ = fail;
}

void FakeFrameAllocator::Seal() {
    std::lock_guard<std::mutex> lock(mutex_);
    sealed_ = true;
}

size_t FakeFrameAllocator::CallsAfterSeal() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return callsAfterSeal_;
}

size_t FakeFrameAllocator::Allocated() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return allocated_;
}

size_t FakeFrameAllocator::Released() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return released_;
}

size_t FakeFrameAllocator::Outstanding() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return live_.size();
}

std::vector<uint32_t> FakeFrameAllocator::Capacities() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return capacities_;
}

// ---- FakeDriverConfig

talvane::IDeviceSettings* FakeDriverConfig::GetDeviceSettings() {
    return &device;
}
talvane::INetworkSettings* FakeDriverConfig::GetNetworkSettings() {
    return &network;
}

const char* FakeDriverConfig::GetExtraParameter(int32_t index) {
    std::lock_guard<std::mutex> lock(mutex_);
    parameterRequests_.push_back(index);
    auto it = extra.find(index);
    return it == extra.end() ? nullptr : it->second.c_str();
}

std::vector<int32_t> FakeDriverConfig::ParameterRequests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return parameterRequests_;
}

// ---- FakeChannelSink

bool FakeChannelSink::OnFrame(talvane::IHostFrame* frame) {
    std::function<void(talvane::IHostFrame*)> hook;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (sealed_) {
            ++callsAfterSeal_;
            return false;
        }
        hook = hook_;
    }
    if (hook) hook(frame);
    std::lock_guard<std::mutex> lock(mutex_);
    if (refuse_ > 0) {
        --refuse_;
        return false;
    }
    ++frameCount_;
    if (frames_.size() < keep_) {
        ReceivedFrame r;
        r.fourcc = frame->GetFourCC();
        r.capacity = frame->GetCapacity();
        r.width = frame->GetWidth();
        r.height = frame->GetHeight();
        r.sizeClass = frame->GetSizeClass();
        const uint32_t size = std::min(frame->GetDataSize(), frame->GetCapacity());
        r.data.assign(frame->GetBuffer(), frame->GetBuffer() + size);
        frame->GetTime(&r.time);
        if (auto* fake = dynamic_cast<FakeFrame*>(frame)) {
            r.allocFourcc = fake->allocFourcc;
            r.name = fake->name;
        }
        r.arrivedAt = std::chrono::steady_clock::now();
        frames_.push_back(std::move(r));
    }
    cv_.notify_all();
    return true;
}

void FakeChannelSink::OnSignalLost() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (sealed_) {
        ++callsAfterSeal_;
        return;
    }
    ++signalLost_;
    cv_.notify_all();
}

void FakeChannelSink::SetKeep(size_t keep) {
    std::lock_guard<std::mutex> lock(mutex_);
    keep_ = keep;
}

void FakeChannelSink::RefuseNext(size_t n) {
    std::lock_guard<std::mutex> lock(mutex_);
    refuse_ = n;
}

void FakeChannelSink::SetFrameHook(std::function<void(talvane::IHostFrame*)> hook) {
    std::lock_guard<std::mutex> lock(mutex_);
    hook_ = std::move(hook);
}

std::vector<ReceivedFrame> FakeChannelSink::Frames() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return frames_;
}

size_t FakeChannelSink::FrameCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return frameCount_;
}

size_t FakeChannelSink::SignalLostCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return signalLost_;
}

bool FakeChannelSink::WaitForFrames(size_t n, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, Scaled(timeout), [&] { return frameCount_ >= n; });
}

bool FakeChannelSink::WaitForSignalLost(size_t n, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, Scaled(timeout), [&] { return signalLost_ >= n; });
}

void FakeChannelSink::Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    frames_.clear();
    frameCount_ = 0;
    signalLost_ = 0;
}

void FakeChannelSink::Seal() {
    std::lock_guard<std::mutex> lock(mutex_);
    sealed_ = true;
}

size_t FakeChannelSink::CallsAfterSeal() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return callsAfterSeal_;
}

// ---- FakeStreamSettings

FakeStreamSettings::FakeStreamSettings(uint16_t width, uint16_t height, uint16_t period,
                                       uint16_t qualityIn)
    : resolution(width, height), periodMs(period), quality(qualityIn) {}

}  // namespace zarntest
