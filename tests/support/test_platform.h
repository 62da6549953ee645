// What the platform the tests run on can and cannot do, for the few checks that depend on it.
#pragma once

#include <chrono>
#include <cstdlib>
#include <string>

namespace zarntest {

// How much longer than natively the tests' waits may take: ZARN_TEST_TIME_SCALE (a whole number,
// 1 when unset or not a number from 1 to 100), set where the suites run under emulation. Only
// the tests' own limits stretch; the driver's time-outs are what they are.
inline int TimeScale() {
    static const int scale = [] {
        const char* text = std::getenv("ZARN_TEST_TIME_SCALE");
        const long value = text != nullptr ? std::strtol(text, nullptr, 10) : 1;
        return value >= 1 && value <= 100 ? static_cast<int>(value) : 1;
    }();
    return scale;
}

template <typename Rep, typename Period>
std::chrono::milliseconds Scaled(std::chrono::duration<Rep, Period> limit) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(limit) * TimeScale();
}

// `utf8` as the host passes text: in the system's ANSI code page on Windows (what it cannot show
// becomes '?'), unchanged elsewhere. Computed with the system's own conversion, for tests of the
// driver's.
std::string HostText(const std::string& utf8);
// True when the host's code page is UTF-8 itself (always outside Windows).
bool HostCodePageIsUtf8();

// Throws as a host object built with MSVC throws a C++ exception: a structured exception with
// MSVC's code, raised from inside the call. Only where the host's exceptions are structured
// exceptions (Windows); elsewhere nothing is raised and the result is false.
bool RaiseHostException();
bool HostExceptionsAreStructured();

// True when the tests run as Windows programs under Wine. Wine's HTTP stack learns a Digest
// challenge but sends no Digest answer, so tests of Digest answers stop after the learning there.
bool RunningUnderWine();

// Makes a new, empty folder under the system's temporary folder whose name starts with `prefix`
// and returns its path; empty when none could be made.
std::string MakeTempFolder(const std::string& prefix);

}  // namespace zarntest
