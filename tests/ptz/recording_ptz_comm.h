// Test command object: records the items posted to its queue and the items it executes, and answers
// the preset interface from settable results. Hold() makes the next executed item block until
// Release(), so that a test can post while one item is in progress.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "ptz/base_ptz_comm.h"

namespace ptztest {

struct ItemRecord {
    int32_t message;
    int32_t code;
    IIPParams* context;
    int32_t speed;
    int32_t p1, p2, p3;
    std::string thread;  // name of the executing thread (empty for posted items)
};

struct PresetCall {
    std::string operation;  // "set", "call" or "clear"
    int32_t slot;
    std::string name;
    int32_t value;
};

class RecordingComm : public talvane::CBasePTZComm {
public:
    using talvane::CBasePTZComm::CBasePTZComm;
    ~RecordingComm() override {
        Release();
        Close();
    }

    bool Open() override {
        if (failOpen) return false;
        return CBasePTZComm::Open();
    }

    bool PostItem(IWorkItem* item, uint32_t maxPending) override {
        {
            std::lock_guard lock(mutex_);
            posted_.push_back(Record(*static_cast<CWorkItem*>(item), std::string()));
        }
        return CBasePTZComm::PostItem(item, maxPending);
    }

    void ProcessItem(IWorkItem* item) override {
        std::unique_lock lock(mutex_);
        executed_.push_back(Record(*static_cast<CWorkItem*>(item), Name()));
        entered_ = true;
        cv_.notify_all();
        cv_.wait(lock, [this] { return !hold_; });
        if (throwNext_) {
            throwNext_ = false;
            throw std::runtime_error("camera code failed");
        }
    }

    bool SetPreposition(int32_t slot, const std::string& name) override {
        return Preset("set", slot, name, 0, setResult);
    }
    bool CallPreposition(int32_t slot, const std::string& name, int32_t value) override {
        return Preset("call", slot, name, value, callResult);
    }
    bool ClearPreposition(int32_t slot, const std::string& name) override {
        return Preset("clear", slot, name, 0, clearResult);
    }

    void Hold() {
        std::lock_guard lock(mutex_);
        hold_ = true;
        entered_ = false;
    }
    void Release() {
        std::lock_guard lock(mutex_);
        hold_ = false;
        cv_.notify_all();
    }
    void ThrowNext() {
        std::lock_guard lock(mutex_);
        throwNext_ = true;
    }
    bool WaitEntered() {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, std::chrono::seconds(10), [this] { return entered_; });
    }
    bool WaitExecuted(size_t n) {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, std::chrono::seconds(10), [&] { return executed_.size() >= n; });
    }
    std::vector<ItemRecord> Executed() {
        std::lock_guard lock(mutex_);
        return executed_;
    }
    std::vector<ItemRecord> Posted() {
        std::lock_guard lock(mutex_);
        return posted_;
    }
    std::vector<PresetCall> PresetCalls() {
        std::lock_guard lock(mutex_);
        return presetCalls_;
    }

    // Settable before the comm is used.
    bool failOpen = false;
    bool setResult = true;
    bool callResult = true;
    bool clearResult = true;
    bool throwFromPresets = false;  // every preset operation throws (a faulty camera layer)

private:
    static ItemRecord Record(const CWorkItem& item, std::string thread) {
        return {item.message, item.code, item.context, item.speed,
                item.p1,      item.p2,   item.p3,      std::move(thread)};
    }
    bool Preset(const char* operation, int32_t slot, const std::string& name, int32_t value,
                bool result) {
        std::lock_guard lock(mutex_);
        presetCalls_.push_back({operation, slot, name, value});
        if (throwFromPresets) throw std::runtime_error("preset layer failed");
        return result;
    }

    std::mutex mutex_;
    std::condition_variable cv_;
    bool hold_ = false;
    bool entered_ = false;
    bool throwNext_ = false;
    std::vector<ItemRecord> executed_;
    std::vector<ItemRecord> posted_;
    std::vector<PresetCall> presetCalls_;
};

}  // namespace ptztest
