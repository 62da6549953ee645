// What the platform the tests run on can and cannot do, for the few checks that depend on it.
#pragma once

#include <chrono>
#include <cstdlib>

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

// True when the tests run as Windows programs under Wine. Wine's HTTP stack learns a Digest
// challenge but sends no Digest answer, so tests of Digest answers stop after the learning there.
bool RunningUnderWine();

}  // namespace zarntest
