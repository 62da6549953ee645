// Fake host objects: the log sink, frame allocator and frames, configuration, channel sink and
// stream settings a recording server hands to the driver. Each records every call so tests can
// check what the driver did; a slot the driver must never call reports itself loudly through
// the unexpected-slot handler (tests turn that into a test failure). Thread-safe where the driver
// calls from its worker threads. zarnhost uses the same objects.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "zarn/host.h"

namespace zarntest {

// Called with the interface and slot name when the driver calls a slot it must never call.
// The default prints to stderr and aborts.
using UnexpectedSlotHandler = std::function<void(const std::string&)>;
void SetUnexpectedSlotHandler(UnexpectedSlotHandler handler);
void ReportUnexpectedSlot(const std::string& what);

struct LogRecord {
    int level;         // level byte as the host received it
    bool textWasNull;  // the record's text pointer was null
    std::string text;
};

class FakeDebugSink final : public talvane::IHostDebugSink {
public:
    ZARN_IMPLEMENT_SLOT0(FakeDebugSink)
    void Output(const talvane::CDebugInfoIf* record) override;

    std::vector<LogRecord> Records() const;
    // Records whose text contains `needle`.
    std::vector<LogRecord> Matching(const std::string& needle) const;
    size_t Count(const std::string& needle) const { return Matching(needle).size(); }
    bool WaitFor(const std::string& needle, std::chrono::milliseconds timeout) const;
    void Clear();
    // Also print every record to stderr ("[level] text") when set (zarnhost, debugging).
    void SetEcho(std::function<void(const LogRecord&)> echo);
    // Keeps at most about `limit` records, dropping the oldest half when it is reached (0: all);
    // for hosts that run for days.
    void SetLimit(size_t limit);

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable cv_;
    size_t limit_ = 0;
    std::vector<LogRecord> records_;
    std::function<void(const LogRecord&)> echo_;
};

class FakeFrame final : public talvane::IHostFrame {
public:
    FakeFrame(uint32_t fourcc, uint32_t capacity, std::string name);
    ZARN_IMPLEMENT_SLOT0(FakeFrame)
    uint32_t GetCapacity() override { return capacity; }
    uint8_t* GetBuffer() override { return buffer.data(); }
    uint32_t GetDataSize() override { return dataSize; }
    void SetDataSize(uint32_t size) override { dataSize = size; }
    void StampTime() override;
    void SetTime(const SYSTEMTIME* t) override { time = *t; }
    void GetTime(SYSTEMTIME* t) override { *t = time; }
    void Reserved8() override { ReportUnexpectedSlot("IHostFrame slot 8"); }
    uint32_t GetFourCC() override { return fourcc; }
    void SetFourCC(uint32_t value) override { fourcc = value; }
    uint32_t GetHeight() override { return height; }
    void SetHeight(uint32_t value) override { height = value; }
    uint32_t GetWidth() override { return width; }
    void SetWidth(uint32_t value) override { width = value; }
    uint32_t GetSizeClass() override { return sizeClass; }
    void SetSizeClass(uint32_t value) override { sizeClass = value; }

    uint32_t allocFourcc;
    uint32_t capacity;
    std::string name;
    std::vector<uint8_t> buffer;
    uint32_t dataSize = 0;
    uint32_t fourcc = 0;
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t sizeClass = 0;
    SYSTEMTIME time{};
    std::chrono::steady_clock::time_point stampedAt{};
};

class FakeFrameAllocator final : public talvane::IFrameAllocator {
public:
    ZARN_IMPLEMENT_SLOT0(FakeFrameAllocator)
    ~FakeFrameAllocator();
    void Reserved1() override { ReportUnexpectedSlot("IFrameAllocator slot 1"); }
    talvane::IHostFrame* AllocateFrame(uint32_t fourcc, uint32_t capacity, const char* name) override;
    void Reserved3() override { ReportUnexpectedSlot("IFrameAllocator slot 3"); }
    void Reserved4() override { ReportUnexpectedSlot("IFrameAllocator slot 4"); }
    void Reserved5() override { ReportUnexpectedSlot("IFrameAllocator slot 5"); }
    void ReleaseFrame(talvane::IHostFrame* frame) override;

    // Makes AllocateFrame return null (out of frames).
    void SetFailAllocations(bool fail);
    // Counts every call after this (checks that nothing reaches the allocator after a stop).
    void Seal();
    size_t CallsAfterSeal() const;
    size_t Allocated() const;
    size_t Released() const;
    size_t Outstanding() const;
    std::vector<uint32_t> Capacities() const;

private:
    mutable std::mutex mutex_;
    bool fail_ = false;
    bool sealed_ = false;
    size_t callsAfterSeal_ = 0;
    size_t allocated_ = 0;
    size_t released_ = 0;
    std::vector<uint32_t> capacities_;
    std::vector<FakeFrame*> live_;
};

class FakeDeviceSettings final : public talvane::IDeviceSettings {
public:
    ZARN_IMPLEMENT_SLOT0(FakeDeviceSettings)
    void Reserved1() override { ReportUnexpectedSlot("IDeviceSettings slot 1"); }
    const char* GetModelName() override { return model.c_str(); }
    uint32_t GetChannelCount() override { return channelCount; }
    void Reserved4() override { ReportUnexpectedSlot("IDeviceSettings slot 4"); }
    int32_t GetDeviceValue1() override { return value1; }
    int32_t GetDeviceValue2() override { return value2; }

    std::string model = "Zarn HD2100";
    uint32_t channelCount = 1;
    int32_t value1 = 0;
    int32_t value2 = 0;
};

class FakeNetworkSettings final : public talvane::INetworkSettings {
public:
    ZARN_IMPLEMENT_SLOT0(FakeNetworkSettings)
    const char* GetAddress() override { return address.c_str(); }
    uint16_t GetPort() override { return port; }
    void Reserved3() override { ReportUnexpectedSlot("INetworkSettings slot 3"); }
    int32_t GetStreamKind() override { return streamKind; }
    const char* GetUserName() override { return user.c_str(); }
    const char* GetPassword() override { return password.c_str(); }

    std::string address = "127.0.0.1";
    uint16_t port = 80;
    int32_t streamKind = 3;
    std::string user = "admin";
    std::string password = "secret";
};

class FakeDriverConfig final : public talvane::IDriverConfig {
public:
    ZARN_IMPLEMENT_SLOT0(FakeDriverConfig)
    talvane::IDeviceSettings* GetDeviceSettings() override;
    talvane::INetworkSettings* GetNetworkSettings() override;
    void Reserved3() override { ReportUnexpectedSlot("IDriverConfig slot 3"); }
    const char* GetExtraParameter(int32_t index) override;

    // Indexes asked for, in order.
    std::vector<int32_t> ParameterRequests() const;

    FakeDeviceSettings device;
    FakeNetworkSettings network;
    // Extra parameters by index (1-based); an absent index answers null.
    std::map<int32_t, std::string> extra{{1, "0"}, {2, "554"}, {3, "2.4.1"}, {4, "0"}};

private:
    mutable std::mutex mutex_;
    std::vector<int32_t> parameterRequests_;
};

struct ReceivedFrame {
    uint32_t fourcc = 0;
    uint32_t allocFourcc = 0;
    uint32_t capacity = 0;
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t sizeClass = 0;
    std::string name;
    std::vector<uint8_t> data;
    SYSTEMTIME time{};
    std::chrono::steady_clock::time_point arrivedAt{};
};

class FakeChannelSink final : public talvane::IChannelSink {
public:
    ZARN_IMPLEMENT_SLOT0(FakeChannelSink)
    bool OnFrame(talvane::IHostFrame* frame) override;
    void Reserved2() override { ReportUnexpectedSlot("IChannelSink slot 2"); }
    void OnSignalLost() override;

    // Frames kept: the first `keep` are recorded with their data; all are counted.
    void SetKeep(size_t keep);
    // Answer OnFrame with false for the next `n` frames.
    void RefuseNext(size_t n);
    // Called for every frame (on the driver's thread) before it is recorded.
    void SetFrameHook(std::function<void(talvane::IHostFrame*)> hook);

    std::vector<ReceivedFrame> Frames() const;
    size_t FrameCount() const;
    size_t SignalLostCount() const;
    bool WaitForFrames(size_t n, std::chrono::milliseconds timeout) const;
    bool WaitForSignalLost(size_t n, std::chrono::milliseconds timeout) const;
    void Clear();
    // Rejects every call after this (checks that nothing calls the sink after a stop).
    void Seal();
    size_t CallsAfterSeal() const;

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable cv_;
    size_t keep_ = 1000;
    size_t refuse_ = 0;
    size_t frameCount_ = 0;
    size_t signalLost_ = 0;
    bool sealed_ = false;
    size_t callsAfterSeal_ = 0;
    std::vector<ReceivedFrame> frames_;
    std::function<void(talvane::IHostFrame*)> hook_;
};

class FakeResolution final : public talvane::IResolution {
public:
    FakeResolution(uint16_t w, uint16_t h) : width(w), height(h) {}
    ZARN_IMPLEMENT_SLOT0(FakeResolution)
    uint16_t GetWidth() override { return width; }
    uint16_t GetHeight() override { return height; }
    uint16_t width;
    uint16_t height;
};

class FakeStreamSettings final : public talvane::IStreamSettings {
public:
    FakeStreamSettings(uint16_t width, uint16_t height, uint16_t periodMs, uint16_t quality);
    ZARN_IMPLEMENT_SLOT0(FakeStreamSettings)
    talvane::IStreamFormat* GetFormat() override { return &format_; }
    talvane::IStreamRate* GetRate() override { return &rate_; }

    FakeResolution resolution;
    uint16_t periodMs;
    uint16_t quality;

private:
    class Format final : public talvane::IStreamFormat {
    public:
        explicit Format(FakeStreamSettings* owner) : owner_(owner) {}
        ZARN_IMPLEMENT_SLOT0(Format)
        void Reserved1() override { ReportUnexpectedSlot("IStreamFormat slot 1"); }
        void Reserved2() override { ReportUnexpectedSlot("IStreamFormat slot 2"); }
        talvane::IResolution* GetResolution() override { return &owner_->resolution; }

    private:
        FakeStreamSettings* owner_;
    };
    class Rate final : public talvane::IStreamRate {
    public:
        explicit Rate(FakeStreamSettings* owner) : owner_(owner) {}
        ZARN_IMPLEMENT_SLOT0(Rate)
        uint16_t GetFramePeriodMs() override { return owner_->periodMs; }
        void Reserved2() override { ReportUnexpectedSlot("IStreamRate slot 2"); }
        uint16_t GetQuality() override { return owner_->quality; }

    private:
        FakeStreamSettings* owner_;
    };
    Format format_{this};
    Rate rate_{this};
};

}  // namespace zarntest
