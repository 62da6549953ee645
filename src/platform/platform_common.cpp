#include <atomic>
#include <chrono>
#include <thread>

#include "platform/platform_backend.h"

namespace talvane::platform {

Event::Event(bool manualReset, bool initiallySet)
    : manualReset_(manualReset), set_(initiallySet ? 1 : 0) {}

bool Event::IsSet() const {
    return set_.load() != 0;
}

uint32_t CurrentThreadId() {
    static std::atomic<uint32_t> next{1};
    thread_local uint32_t id = next.fetch_add(1);
    return id;
}

unsigned ProcessorCount() {
    unsigned n = std::thread::hardware_concurrency();
    return n == 0 ? 1 : n;
}

void SleepMs(uint32_t ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

namespace {

// Days from 1601-01-01 to the given civil date (proleptic Gregorian).
int64_t DaysSince1601(int64_t y, unsigned m, unsigned d) {
    // Days from 1970-01-01 (H. Hinnant's days_from_civil), then shifted to 1601.
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    const int64_t daysSince1970 = era * 146097 + static_cast<int64_t>(doe) - 719468;
    return daysSince1970 + 134774;  // 1601-01-01 .. 1970-01-01
}

constexpr uint64_t kTicksPerMs = 10000;
constexpr uint64_t kTicksPerDay = 86400000ull * kTicksPerMs;

}  // namespace

void GetSystemTime(SYSTEMTIME* out) {
    using namespace std::chrono;
    const auto now = floor<milliseconds>(system_clock::now());
    const auto day = floor<days>(now);
    const year_month_day date(day);
    const hh_mm_ss<milliseconds> time(now - day);
    out->wYear = static_cast<uint16_t>(static_cast<int>(date.year()));
    out->wMonth = static_cast<uint16_t>(static_cast<unsigned>(date.month()));
    out->wDayOfWeek = static_cast<uint16_t>(weekday(day).c_encoding());
    out->wDay = static_cast<uint16_t>(static_cast<unsigned>(date.day()));
    out->wHour = static_cast<uint16_t>(time.hours().count());
    out->wMinute = static_cast<uint16_t>(time.minutes().count());
    out->wSecond = static_cast<uint16_t>(time.seconds().count());
    out->wMilliseconds = static_cast<uint16_t>(time.subseconds().count());
}

uint64_t SystemTimeToFileTime(const SYSTEMTIME& t) {
    if (t.wYear < 1601 || t.wYear > 30827 || t.wMonth < 1 || t.wMonth > 12 || t.wDay < 1 ||
        t.wDay > 31 || t.wHour > 23 || t.wMinute > 59 || t.wSecond > 59 || t.wMilliseconds > 999) {
        return 0;
    }
    const int64_t days = DaysSince1601(t.wYear, t.wMonth, t.wDay);
    const uint64_t msOfDay =
        ((static_cast<uint64_t>(t.wHour) * 60 + t.wMinute) * 60 + t.wSecond) * 1000 +
        t.wMilliseconds;
    return static_cast<uint64_t>(days) * kTicksPerDay + msOfDay * kTicksPerMs;
}

uint64_t NowFileTime() {
    SYSTEMTIME t;
    platform::GetSystemTime(&t);
    return SystemTimeToFileTime(t);
}

uint64_t MonotonicMs() {
    using namespace std::chrono;
    return static_cast<uint64_t>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

namespace {
std::mutex gVersionMutex;
std::optional<Version> gInjectedVersion;
}  // namespace

Version HostCoreVersion() {
    {
        std::lock_guard<std::mutex> lock(gVersionMutex);
        if (gInjectedVersion) return *gInjectedVersion;
    }
    return backend::ReadHostCoreVersion().value_or(Version{5, 12, 0, 0});
}

void SetHostCoreVersionForTesting(std::optional<Version> version) {
    std::lock_guard<std::mutex> lock(gVersionMutex);
    gInjectedVersion = version;
}

}  // namespace talvane::platform
