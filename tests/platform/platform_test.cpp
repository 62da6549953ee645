#include "platform/platform.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <set>
#include <thread>
#include <vector>

namespace talvane::platform {
namespace {

TEST(PlatformTimeTest, CalendarRecordsConvertToTicksSince1601) {
    SYSTEMTIME epoch{1970, 1, 4, 1, 0, 0, 0, 0};
    EXPECT_EQ(SystemTimeToFileTime(epoch), 116444736000000000ull);
    SYSTEMTIME leap{2024, 2, 4, 29, 23, 59, 59, 999};
    SYSTEMTIME next{2024, 3, 5, 1, 0, 0, 0, 0};
    EXPECT_EQ(SystemTimeToFileTime(next) - SystemTimeToFileTime(leap), 10000ull);  // 1 ms
    SYSTEMTIME bad{2024, 13, 0, 1, 0, 0, 0, 0};
    EXPECT_EQ(SystemTimeToFileTime(bad), 0ull);

    SYSTEMTIME now;
    talvane::platform::GetSystemTime(&now);
    EXPECT_GE(now.wYear, 2024);
    const uint64_t a = SystemTimeToFileTime(now);
    const uint64_t b = NowFileTime();
    EXPECT_GE(b, a);
    EXPECT_LT(b - a, 600ull * 10000000ull);  // same clock, same ten minutes
}

TEST(PlatformEventTest, AutoResetWakesOneWaitAndManualStaysSet) {
    Event automatic(false);
    automatic.Set();
    EXPECT_TRUE(automatic.Wait(0));
    EXPECT_FALSE(automatic.Wait(0));  // consumed

    Event manual(true);
    EXPECT_FALSE(manual.Wait(10));
    manual.Set();
    EXPECT_TRUE(manual.Wait(0));
    EXPECT_TRUE(manual.Wait(0));
    EXPECT_TRUE(manual.IsSet());
    manual.Reset();
    EXPECT_FALSE(manual.IsSet());

    Event crossThread(false);
    std::thread setter([&] { crossThread.Set(); });
    EXPECT_TRUE(crossThread.Wait(kInfinite));
    setter.join();
}

TEST(PlatformEventTest, SetWakesEveryWaiterOfAManualEventAndOneOfAnAutomaticOne) {
    // The waits are far longer than the checks, so that a waiter left asleep shows as one that is
    // still waiting (its wait would end later, and still find the event set).
    constexpr uint32_t kLongWaitMs = 30000;
    const auto waitFor = [](const std::atomic<int>& count, int value) {
        for (int i = 0; i < 5000 && count.load() < value; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return count.load();
    };
    Event manual(true);
    std::atomic<int> woken{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 4; ++i) {
        waiters.emplace_back([&] {
            if (manual.Wait(kLongWaitMs)) ++woken;
        });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // let them fall asleep
    manual.Set();
    EXPECT_EQ(waitFor(woken, 4), 4);
    for (auto& t : waiters) t.join();

    // Two sleepers on an automatic event: each Set lets exactly one through.
    Event automatic(false);
    std::atomic<int> through{0};
    waiters.clear();
    for (int i = 0; i < 2; ++i) {
        waiters.emplace_back([&] {
            if (automatic.Wait(kLongWaitMs)) ++through;
        });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    automatic.Set();
    EXPECT_EQ(waitFor(through, 1), 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(through.load(), 1);
    EXPECT_FALSE(automatic.IsSet());
    automatic.Set();
    EXPECT_EQ(waitFor(through, 2), 2);
    for (auto& t : waiters) t.join();

    // A timed wait that runs out reports it, and a Set after it is not lost for the next wait.
    EXPECT_FALSE(automatic.Wait(15));
    automatic.Set();
    EXPECT_TRUE(automatic.Wait(15));
}

TEST(PlatformTest, ThreadIdsDifferAndHostCoreVersionIsInjectable) {
    std::set<uint32_t> ids{CurrentThreadId()};
    std::thread other([&] { ids.insert(CurrentThreadId()); });
    other.join();
    EXPECT_EQ(ids.size(), 2u);
    EXPECT_EQ(ids.count(0), 0u);

    const Version real = HostCoreVersion();
    EXPECT_EQ(real.major, 5);
    EXPECT_EQ(real.minor, 12);
    SetHostCoreVersionForTesting(Version{5, 11, 1, 2});
    EXPECT_EQ(HostCoreVersion().minor, 11);
    SetHostCoreVersionForTesting(std::nullopt);
    EXPECT_EQ(HostCoreVersion().minor, 12);

    const std::string dir = HostProgramDirectory();
    ASSERT_FALSE(dir.empty());
    EXPECT_TRUE(dir.back() == '/' || dir.back() == '\\') << dir;
    EXPECT_TRUE(std::filesystem::is_directory(dir)) << dir;
}

}  // namespace
}  // namespace talvane::platform
