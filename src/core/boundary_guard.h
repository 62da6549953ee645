// GuardBoundary: what stands between the host and a C++ exception.
//
// The host is C-level code built by another compiler: an exception that leaves an exported
// function or a slot the host calls ends the host's process. Every such entry point runs its body
// through GuardBoundary, which catches everything, logs it once at level 1 (when a log is given)
// and returns the failure value the entry point has for the host.
// An entry point that owes the host another answer in a particular failure (a failed allocation
// that only leaves an object out, say) handles that failure itself, inside the body.
//
// Threads: any; the guard keeps no state of its own.
#pragma once

#include <exception>
#include <utility>

#include "core/idriver.h"

namespace talvane {

// Logs an exception caught at the boundary: "<where>: unexpected failure (<what>)" at level 1
// through `log` (may be null). Never throws.
void LogCaughtAtBoundary(IDebugMessage* log, const char* where, const char* what) noexcept;

// Runs `body` and returns its result; `failure` when it throws.
template <class Result, class Body>
Result GuardBoundary(IDebugMessage* log, const char* where, Result failure, Body&& body) noexcept {
    try {
        return std::forward<Body>(body)();
    } catch (const std::exception& e) {
        LogCaughtAtBoundary(log, where, e.what());
    } catch (...) {
        LogCaughtAtBoundary(log, where, "unknown exception");
    }
    return failure;
}

// The same for an entry point without a result.
template <class Body>
void GuardBoundary(IDebugMessage* log, const char* where, Body&& body) noexcept {
    try {
        std::forward<Body>(body)();
    } catch (const std::exception& e) {
        LogCaughtAtBoundary(log, where, e.what());
    } catch (...) {
        LogCaughtAtBoundary(log, where, "unknown exception");
    }
}

}  // namespace talvane
