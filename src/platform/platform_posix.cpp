#include <dlfcn.h>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <climits>

#include "platform/platform_backend.h"

namespace talvane::platform {

namespace {

// Sleeps while *word is `expected`, until `deadline` on the monotonic clock (null: no limit); a
// wake-up, a signal or a value that differs already return early. The caller looks again.
void FutexWait(std::atomic<uint32_t>* word, uint32_t expected, const timespec* deadline) {
    ::syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAIT_BITSET_PRIVATE, expected,
              deadline, nullptr, FUTEX_BITSET_MATCH_ANY);
}

void FutexWake(std::atomic<uint32_t>* word, int count) {
    ::syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAKE_PRIVATE, count, nullptr,
              nullptr, 0);
}

}  // namespace

void Event::Set() {
    set_.store(1);
    // A waiter counts itself before it looks at the word and sleeps only while the word is 0, so
    // either it sees this store or this load sees it.
    if (waiters_.load() > 0) FutexWake(&set_, manualReset_ ? INT_MAX : 1);
}

void Event::Reset() {
    set_.store(0);
}

bool Event::Wait(uint32_t timeoutMs) {
    timespec deadline{};
    if (timeoutMs != kInfinite) {
        ::clock_gettime(CLOCK_MONOTONIC, &deadline);
        deadline.tv_sec += static_cast<time_t>(timeoutMs / 1000);
        deadline.tv_nsec += static_cast<long>(timeoutMs % 1000) * 1000000L;
        if (deadline.tv_nsec >= 1000000000L) {
            ++deadline.tv_sec;
            deadline.tv_nsec -= 1000000000L;
        }
    }
    for (;;) {
        if (manualReset_) {
            if (set_.load() != 0) return true;
        } else {
            uint32_t expected = 1;
            if (set_.compare_exchange_strong(expected, 0)) return true;
        }
        if (timeoutMs != kInfinite) {
            timespec now{};
            ::clock_gettime(CLOCK_MONOTONIC, &now);
            if (now.tv_sec > deadline.tv_sec ||
                (now.tv_sec == deadline.tv_sec && now.tv_nsec >= deadline.tv_nsec)) {
                return false;
            }
        }
        waiters_.fetch_add(1);
        FutexWait(&set_, 0, timeoutMs == kInfinite ? nullptr : &deadline);
        waiters_.fetch_sub(1);
    }
}

std::string HostProgramDirectory() {
    char path[4096];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
    if (n <= 0) return "./";
    std::string full(path, static_cast<size_t>(n));
    const size_t slash = full.rfind('/');
    if (slash == std::string::npos) return "./";
    return full.substr(0, slash + 1);
}

std::string AsFolderPrefix(const std::string& folder) {
    if (!folder.empty() && folder.back() == '/') return folder;
    return folder + '/';
}

bool PinModule() {
    // Any address inside the module names it; a reference taken with RTLD_NODELETE keeps it
    // mapped for the rest of the process. The handle is never closed on purpose.
    static const char kAnchor = 0;
    Dl_info info{};
    if (dladdr(&kAnchor, &info) == 0 || info.dli_fname == nullptr) return false;
    return dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE) != nullptr;
}

// The host's text is UTF-8 here.
bool HostTextToUtf8(const std::string& text, std::string& out) {
    out = text;
    return true;
}

std::string Utf8ToHostText(const std::string& text) {
    return text;
}

void PinModuleAtFirstUse() {}

// Sockets need no start-up here.
bool StartNetworking() {
    return true;
}
void StopNetworking() {}

namespace backend {

// This platform has no version resources: the caller falls back to 5.12.0.0.
std::optional<Version> ReadHostCoreVersion() {
    return std::nullopt;
}

}  // namespace backend

}  // namespace talvane::platform
