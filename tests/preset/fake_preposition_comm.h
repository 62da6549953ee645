// A camera's preset side for preset list tests: records every request and log line, and can be
// told to refuse requests. Thread-safe.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "preset/preposition_comm.h"

namespace zarntest {

struct PresetRequest {
    std::string kind;  // "set", "call", "clear"
    int32_t slot;
    std::string name;
    int32_t value;
};

struct PresetLogLine {
    int32_t level;
    std::string text;
};

class FakePrepositionComm : public talvane::IPrepositionComm {
public:
    void Log(int32_t level, const char* format, ...) override
        __attribute__((format(printf, 3, 4))) {
        char buffer[2048];
        va_list args;
        va_start(args, format);
        std::vsnprintf(buffer, sizeof(buffer), format, args);
        va_end(args);
        std::lock_guard<std::mutex> guard(mutex_);
        lines_.push_back({level, buffer});
    }
    bool SetPreposition(int32_t slot, const std::string& name) override {
        return Record("set", slot, name, 0);
    }
    bool CallPreposition(int32_t slot, const std::string& name, int32_t value) override {
        return Record("call", slot, name, value);
    }
    bool ClearPreposition(int32_t slot, const std::string& name) override {
        return Record("clear", slot, name, 0);
    }

    void SetAccept(bool accept) {
        std::lock_guard<std::mutex> guard(mutex_);
        accept_ = accept;
    }
    std::vector<PresetRequest> Requests() const {
        std::lock_guard<std::mutex> guard(mutex_);
        return requests_;
    }
    std::vector<PresetLogLine> Lines() const {
        std::lock_guard<std::mutex> guard(mutex_);
        return lines_;
    }

private:
    bool Record(const char* kind, int32_t slot, const std::string& name, int32_t value) {
        std::lock_guard<std::mutex> guard(mutex_);
        requests_.push_back({kind, slot, name, value});
        return accept_;
    }

    mutable std::mutex mutex_;
    bool accept_ = true;
    std::vector<PresetRequest> requests_;
    std::vector<PresetLogLine> lines_;
};

}  // namespace zarntest
