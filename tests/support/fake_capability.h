// Fake host objects of the capability query: the callback and the result object with its
// sub-objects (connection fields, custom properties, resolution list, frame-interval list).
//
// Every call the driver makes is recorded, in order, as one text line in a log shared by a result
// object and all its sub-objects, for example "SetCapability(0,1)", "SetModelName(Zarn HD2100)",
// "GetConnectionField(1)", "ConnectionField(1).SetText(127.0.0.1)", "Interval(500)",
// "DefaultInterval(40)", "Resolution(176x144,176,144,40)", "Property(3).SetFlag(1)". The callback
// records "OnQueryCompleted()" and "OnQueryFailed(1,Failed to get camera properties)".
//
// Threads: the driver calls these objects on its query thread while a test or zarnhost reads them
// on another; every member is thread-safe. The sub-objects belong to their result object and live
// as long as it does. Slots the driver must never call report themselves through
// ReportUnexpectedSlot (fake_host.h). No test framework is used here.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "zarn/capability.h"

namespace zarntest {

// Ordered, thread-safe list of recorded calls.
class CallLog {
public:
    void Add(std::string call);
    std::vector<std::string> Calls() const;
    size_t Count(const std::string& call) const;  // exact matches
    void Clear();

private:
    mutable std::mutex mutex_;
    std::vector<std::string> calls_;
};

class FakeCapabilityResult;

class FakeTextField final : public talvane::ICapabilityTextField {
public:
    FakeTextField(CallLog& log, int32_t index) : log_(log), index_(index) {}
    ZARN_IMPLEMENT_SLOT0(FakeTextField)
    void SetText(const char* text) override;
    std::optional<std::string> Text() const;

private:
    CallLog& log_;
    const int32_t index_;
    mutable std::mutex mutex_;
    std::optional<std::string> text_;
};

struct CustomPropertyValues {
    std::optional<std::string> name;
    std::optional<int32_t> kind;
    std::optional<int32_t> flag;
    std::optional<std::string> value;
};

class FakeCustomProperty final : public talvane::ICapabilityCustomProperty {
public:
    FakeCustomProperty(CallLog& log, int32_t index) : log_(log), index_(index) {}
    ZARN_IMPLEMENT_SLOT0(FakeCustomProperty)
    void SetValue(const char* value) override;
    void Reserved2() override;
    void Reserved3() override;
    void SetFlag(int32_t flag) override;
    void SetName(const char* name) override;
    void SetKind(int32_t kind) override;
    CustomPropertyValues Values() const;

private:
    std::string Prefix() const;
    CallLog& log_;
    const int32_t index_;
    mutable std::mutex mutex_;
    CustomPropertyValues values_;
};

struct ResolutionItem {
    std::string text;
    uint16_t width = 0;
    uint16_t height = 0;
    int32_t intervalMs = 0;
};

class FakeResolutionList final : public talvane::ICapabilityResolutionList {
public:
    explicit FakeResolutionList(CallLog& log) : log_(log) {}
    ZARN_IMPLEMENT_SLOT0(FakeResolutionList)
    void Add(const char* text, uint16_t width, uint16_t height, int32_t intervalMs) override;
    std::vector<ResolutionItem> Items() const;

private:
    CallLog& log_;
    mutable std::mutex mutex_;
    std::vector<ResolutionItem> items_;
};

class FakeFrameIntervalList final : public talvane::ICapabilityFrameIntervalList {
public:
    explicit FakeFrameIntervalList(CallLog& log) : log_(log) {}
    ZARN_IMPLEMENT_SLOT0(FakeFrameIntervalList)
    void SetDefault(int32_t intervalMs) override;
    void Add(int32_t intervalMs) override;
    std::vector<int32_t> Intervals() const;
    std::optional<int32_t> Default() const;

private:
    CallLog& log_;
    mutable std::mutex mutex_;
    std::vector<int32_t> intervals_;
    std::optional<int32_t> default_;
};

class FakeCapabilityResult final : public talvane::ICapabilityResult {
public:
    FakeCapabilityResult();
    ~FakeCapabilityResult();
    FakeCapabilityResult(const FakeCapabilityResult&) = delete;
    FakeCapabilityResult& operator=(const FakeCapabilityResult&) = delete;
    ZARN_IMPLEMENT_SLOT0(FakeCapabilityResult)

    void SetCapability(int32_t id, int32_t value) override;
    void SetModelName(const char* model) override;
    talvane::ICapabilityTextField* GetConnectionField(int32_t index) override;
    void Reserved4() override;
    talvane::ICapabilityCustomProperty* GetCustomProperty(int32_t index) override;
    talvane::ICapabilityResolutionList* GetResolutionList() override;
    void Reserved7() override;
    talvane::ICapabilityFrameIntervalList* GetFrameIntervalList(int32_t list) override;

    // Makes the Get* operations answer null (a host without those lists).
    void SetReturnNull(bool returnNull);
    // Called (on the driver's thread) after each call has been recorded, with its line.
    void SetHook(std::function<void(const std::string&)> hook);

    // Every call, in order, sub-objects included.
    std::vector<std::string> Calls() const { return log_.Calls(); }
    CallLog& Log() { return log_; }
    size_t Count(const std::string& call) const { return log_.Count(call); }
    // Values written, in order of the SetCapability calls.
    std::vector<std::pair<int32_t, int32_t>> Capabilities() const;
    // The last value written for a capability id.
    std::optional<int32_t> Capability(int32_t id) const;
    std::optional<std::string> Model() const;
    // Text of connection field 1..4, or none when never written.
    std::optional<std::string> ConnectionField(int32_t index) const;
    CustomPropertyValues CustomProperty(int32_t index) const;
    std::vector<ResolutionItem> Resolutions() const { return resolutions_.Items(); }
    std::vector<int32_t> FrameIntervals() const { return intervals_.Intervals(); }
    std::optional<int32_t> DefaultFrameInterval() const { return intervals_.Default(); }

private:
    void Record(std::string call);

    CallLog log_;
    mutable std::mutex mutex_;
    bool returnNull_ = false;
    std::function<void(const std::string&)> hook_;
    std::vector<std::pair<int32_t, int32_t>> capabilities_;
    std::optional<std::string> model_;
    std::map<int32_t, std::unique_ptr<FakeTextField>> fields_;
    std::map<int32_t, std::unique_ptr<FakeCustomProperty>> properties_;
    FakeResolutionList resolutions_;
    FakeFrameIntervalList intervals_;
};

// The outcome the callback heard.
struct QueryOutcome {
    bool completed = false;
    int32_t code = 0;  // failure code when not completed
    std::string message;
};

class FakeCapabilityCallback final : public talvane::ICapabilityQueryCallback {
public:
    ZARN_IMPLEMENT_SLOT0(FakeCapabilityCallback)
    void Reserved1() override;
    void OnQueryCompleted() override;
    void OnQueryFailed(int32_t code, const char* message) override;

    // Called (on the driver's thread) inside each notification, after it has been recorded.
    void SetHook(std::function<void()> hook);
    // Also records each notification into `log` (e.g. a result object's), so that the order of
    // the notification among the result calls can be checked. Null: no mirror.
    void SetMirror(CallLog* log);

    // "OnQueryCompleted()" / "OnQueryFailed(<code>,<message>)", in order.
    std::vector<std::string> Calls() const;
    size_t NotificationCount() const;
    // The first notification, if any.
    std::optional<QueryOutcome> Outcome() const;
    // Waits until at least one notification has arrived; false when the time-out passed first.
    bool WaitForOutcome(std::chrono::milliseconds timeout) const {
        return WaitForCount(1, timeout);
    }
    // Waits until at least n notifications have arrived; false when the time-out passed first.
    bool WaitForCount(size_t n, std::chrono::milliseconds timeout) const;
    void Clear();

private:
    void Record(std::string call, QueryOutcome outcome);

    mutable std::mutex mutex_;
    mutable std::condition_variable cv_;
    std::function<void()> hook_;
    CallLog* mirror_ = nullptr;
    std::vector<std::string> calls_;
    std::vector<QueryOutcome> outcomes_;
};

}  // namespace zarntest
