#include "support/fake_capability.h"

#include <algorithm>

#include "support/fake_host.h"
#include "support/test_platform.h"

namespace zarntest {

namespace {

std::string TextOf(const char* text) {
    return text != nullptr ? text : "(null)";
}

}  // namespace

// ---- CallLog

void CallLog::Add(std::string call) {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.push_back(std::move(call));
}

std::vector<std::string> CallLog::Calls() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
}

size_t CallLog::Count(const std::string& call) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<size_t>(std::count(calls_.begin(), calls_.end(), call));
}

void CallLog::Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.clear();
}

// ---- FakeTextField

void FakeTextField::SetText(const char* text) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        text_ = TextOf(text);
    }
    log_.Add("ConnectionField(" + std::to_string(index_) + ").SetText(" + TextOf(text) + ")");
}

std::optional<std::string> FakeTextField::Text() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return text_;
}

// ---- FakeCustomProperty

std::string FakeCustomProperty::Prefix() const {
    return "Property(" + std::to_string(index_) + ").";
}

void FakeCustomProperty::SetValue(const char* value) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        values_.value = TextOf(value);
    }
    log_.Add(Prefix() + "SetValue(" + TextOf(value) + ")");
}

void FakeCustomProperty::Reserved2() {
    ReportUnexpectedSlot("ICapabilityCustomProperty slot 2");
}
void FakeCustomProperty::Reserved3() {
    ReportUnexpectedSlot("ICapabilityCustomProperty slot 3");
}

void FakeCustomProperty::SetFlag(int32_t flag) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        values_.flag = flag;
    }
    log_.Add(Prefix() + "SetFlag(" + std::to_string(flag) + ")");
}

void FakeCustomProperty::SetName(const char* name) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        values_.name = TextOf(name);
    }
    log_.Add(Prefix() + "SetName(" + TextOf(name) + ")");
}

void FakeCustomProperty::SetKind(int32_t kind) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        values_.kind = kind;
    }
    log_.Add(Prefix() + "SetKind(" + std::to_string(kind) + ")");
}

CustomPropertyValues FakeCustomProperty::Values() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return values_;
}

// ---- FakeResolutionList

void FakeResolutionList::Add(const char* text, uint16_t width, uint16_t height,
                             int32_t intervalMs) {
    ResolutionItem item{TextOf(text), width, height, intervalMs};
    {
        std::lock_guard<std::mutex> lock(mutex_);
        items_.push_back(item);
    }
    log_.Add("Resolution(" + item.text + "," + std::to_string(width) + "," +
             std::to_string(height) + "," + std::to_string(intervalMs) + ")");
}

std::vector<ResolutionItem> FakeResolutionList::Items() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return items_;
}

// ---- FakeFrameIntervalList

void FakeFrameIntervalList::SetDefault(int32_t intervalMs) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        default_ = intervalMs;
    }
    log_.Add("DefaultInterval(" + std::to_string(intervalMs) + ")");
}

void FakeFrameIntervalList::Add(int32_t intervalMs) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        intervals_.push_back(intervalMs);
    }
    log_.Add("Interval(" + std::to_string(intervalMs) + ")");
}

std::vector<int32_t> FakeFrameIntervalList::Intervals() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return intervals_;
}

std::optional<int32_t> FakeFrameIntervalList::Default() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return default_;
}

// ---- FakeCapabilityResult

FakeCapabilityResult::FakeCapabilityResult() : resolutions_(log_), intervals_(log_) {}

FakeCapabilityResult::~FakeCapabilityResult() = default;

void FakeCapabilityResult::Record(std::string call) {
    std::function<void(const std::string&)> hook;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        hook = hook_;
    }
    log_.Add(call);
    if (hook) hook(call);
}

void FakeCapabilityResult::SetCapability(int32_t id, int32_t value) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        capabilities_.emplace_back(id, value);
    }
    Record("SetCapability(" + std::to_string(id) + "," + std::to_string(value) + ")");
}

void FakeCapabilityResult::SetModelName(const char* model) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        model_ = TextOf(model);
    }
    Record("SetModelName(" + TextOf(model) + ")");
}

talvane::ICapabilityTextField* FakeCapabilityResult::GetConnectionField(int32_t index) {
    talvane::ICapabilityTextField* field = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!returnNull_) {
            auto& slot = fields_[index];
            if (!slot) slot = std::make_unique<FakeTextField>(log_, index);
            field = slot.get();
        }
    }
    Record("GetConnectionField(" + std::to_string(index) + ")");
    return field;
}

void FakeCapabilityResult::Reserved4() {
    ReportUnexpectedSlot("ICapabilityResult slot 4");
}
void FakeCapabilityResult::Reserved7() {
    ReportUnexpectedSlot("ICapabilityResult slot 7");
}

talvane::ICapabilityCustomProperty* FakeCapabilityResult::GetCustomProperty(int32_t index) {
    talvane::ICapabilityCustomProperty* property = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!returnNull_) {
            auto& slot = properties_[index];
            if (!slot) slot = std::make_unique<FakeCustomProperty>(log_, index);
            property = slot.get();
        }
    }
    Record("GetCustomProperty(" + std::to_string(index) + ")");
    return property;
}

talvane::ICapabilityResolutionList* FakeCapabilityResult::GetResolutionList() {
    bool returnNull;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        returnNull = returnNull_;
    }
    Record("GetResolutionList()");
    return returnNull ? nullptr : &resolutions_;
}

talvane::ICapabilityFrameIntervalList* FakeCapabilityResult::GetFrameIntervalList(int32_t list) {
    bool returnNull;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        returnNull = returnNull_;
    }
    Record("GetFrameIntervalList(" + std::to_string(list) + ")");
    return returnNull ? nullptr : &intervals_;
}

void FakeCapabilityResult::SetReturnNull(bool returnNull) {
    std::lock_guard<std::mutex> lock(mutex_);
    returnNull_ = returnNull;
}

void FakeCapabilityResult::SetHook(std::function<void(const std::string&)> hook) {
    std::lock_guard<std::mutex> lock(mutex_);
    hook_ = std::move(hook);
}

std::vector<std::pair<int32_t, int32_t>> FakeCapabilityResult::Capabilities() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return capabilities_;
}

std::optional<int32_t> FakeCapabilityResult::Capability(int32_t id) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::optional<int32_t> value;
    for (const auto& [capability, v] : capabilities_) {
        if (capability == id) value = v;
    }
    return value;
}

std::optional<std::string> FakeCapabilityResult::Model() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return model_;
}

std::optional<std::string> FakeCapabilityResult::ConnectionField(int32_t index) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = fields_.find(index);
    return it == fields_.end() ? std::nullopt : it->second->Text();
}

CustomPropertyValues FakeCapabilityResult::CustomProperty(int32_t index) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = properties_.find(index);
    return it == properties_.end() ? CustomPropertyValues{} : it->second->Values();
}

// ---- FakeCapabilityCallback

void FakeCapabilityCallback::Reserved1() {
    ReportUnexpectedSlot("ICapabilityQueryCallback slot 1");
}

void FakeCapabilityCallback::Record(std::string call, QueryOutcome outcome) {
    std::function<void()> hook;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (mirror_ != nullptr) mirror_->Add(call);
        calls_.push_back(std::move(call));
        outcomes_.push_back(std::move(outcome));
        hook = hook_;
    }
    cv_.notify_all();
    if (hook) hook();
}

void FakeCapabilityCallback::OnQueryCompleted() {
    QueryOutcome outcome;
    outcome.completed = true;
    Record("OnQueryCompleted()", outcome);
}

void FakeCapabilityCallback::OnQueryFailed(int32_t code, const char* message) {
    QueryOutcome outcome;
    outcome.code = code;
    outcome.message = TextOf(message);
    Record("OnQueryFailed(" + std::to_string(code) + "," + outcome.message + ")", outcome);
}

void FakeCapabilityCallback::SetHook(std::function<void()> hook) {
    std::lock_guard<std::mutex> lock(mutex_);
    hook_ = std::move(hook);
}

void FakeCapabilityCallback::SetMirror(CallLog* log) {
    std::lock_guard<std::mutex> lock(mutex_);
    mirror_ = log;
}

std::vector<std::string> FakeCapabilityCallback::Calls() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
}

size_t FakeCapabilityCallback::NotificationCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_.size();
}

std::optional<QueryOutcome> FakeCapabilityCallback::Outcome() const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (outcomes_.empty()) return std::nullopt;
    return outcomes_.front();
}

bool FakeCapabilityCallback::WaitForCount(size_t n, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, Scaled(timeout), [this, n] { return calls_.size() >= n; });
}

void FakeCapabilityCallback::Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.clear();
    outcomes_.clear();
}

}  // namespace zarntest
