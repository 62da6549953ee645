// The thin layer that stands in for the operating system's services: events, thread ids, UTC
// time, the host program's folder and the host core's version. Callers include only this header;
// what differs between platforms stays in platform_*.cpp.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "zarn/host.h"

namespace talvane::platform {

constexpr uint32_t kInfinite = 0xFFFFFFFFu;

// A manual-reset or auto-reset event. Thread-safe.
class Event {
public:
    explicit Event(bool manualReset, bool initiallySet = false);
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    void Set();
    void Reset();
    // Waits up to `timeoutMs` (kInfinite: no limit); true when the event was set. An auto-reset
    // event is cleared by the wait that consumes it.
    bool Wait(uint32_t timeoutMs);
    // True when the event is set, without consuming it.
    bool IsSet() const;

private:
    const bool manualReset_;
#if defined(_WIN32)
    // Changed under the mutex (so that a waiter never misses a Set), read without it by IsSet,
    // which the channels poll on every part.
    std::atomic<bool> set_;
    mutable std::mutex mutex_;
    std::condition_variable cv_;
#else
    // 1 while set; the word waiters sleep on (a futex), read without a lock by IsSet, which the
    // channels poll on every part. A timed wait that runs out is one system call, with no lock to
    // take back and no wake-up to hand on afterwards, which matters to a channel that sleeps once
    // per frame.
    std::atomic<uint32_t> set_;
    std::atomic<uint32_t> waiters_{0};
#endif
};

// Id of the calling thread: non-zero and unique among the process's live threads.
uint32_t CurrentThreadId();

unsigned ProcessorCount();

void SleepMs(uint32_t ms);

// UTC now as a calendar record.
void GetSystemTime(SYSTEMTIME* time);
// 100-ns ticks since 1601-01-01 UTC for a calendar record; 0 when the record is not a valid date.
uint64_t SystemTimeToFileTime(const SYSTEMTIME& time);
// UTC now in 100-ns ticks since 1601-01-01.
uint64_t NowFileTime();
// Milliseconds on a monotonic clock (for pacing and elapsed times).
uint64_t MonotonicMs();

// Socket start-up for one user of the network (a started channel); true when it succeeded. Every
// successful start is matched by one StopNetworking.
bool StartNetworking();
void StopNetworking();

// Keeps the module that holds the driver's code loaded until the process ends, even when the host
// unloads it. Called once a thread had to be let go that may still run the module's code after the
// host's last call has returned. True when the module is pinned (repeating it does no harm); false
// where the code is not in a loadable module (tests link it into their program).
bool PinModule();
// The module's lifetime rule, called by the host's first CreateIPCapture and first
// InitCapabilityQuery: on Windows the module is pinned then, once, and stays loaded until the
// process ends. So nothing the driver started (a WinHTTP notice that comes after its handle was
// closed, a let-go worker) can ever run in unmapped code, and the statically linked thread
// runtime takes its thread-local storage slot once rather than at every load. Elsewhere nothing
// runs after the host's last call that would need it: nothing is done.
void PinModuleAtFirstUse();

// The host's 8-bit strings are in the system's ANSI code page on Windows and UTF-8 elsewhere; the
// driver keeps preset names and the credentials it puts into URLs as UTF-8 (the preset file's
// text), converting only where they cross to or from the host. Elsewhere both are the identity.
//
// Host text as UTF-8. False (out empty) when the bytes are not text of the host's code page.
bool HostTextToUtf8(const std::string& text, std::string& out);
// UTF-8 as host text. What the code page cannot show comes out as the system's conversion gives
// it without best-fit mapping: the code page's default character ('?'); bytes that are not UTF-8
// are taken as U+FFFD first.
std::string Utf8ToHostText(const std::string& text);

// Folder of the running program's executable, ending in a path separator.
std::string HostProgramDirectory();
// `folder` ending in a path separator, ready to have a file name appended.
std::string AsFolderPrefix(const std::string& folder);

struct Version {
    uint16_t major = 0;
    uint16_t minor = 0;
    uint16_t build = 0;
    uint16_t revision = 0;
};
// Product version of the host's core library; 5.12.0.0 where none can be read.
Version HostCoreVersion();
// Tests inject a version; nullopt restores the real lookup.
void SetHostCoreVersionForTesting(std::optional<Version> version);

}  // namespace talvane::platform
