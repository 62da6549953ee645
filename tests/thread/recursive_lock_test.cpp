#include "thread/recursive_lock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/platform.h"

namespace talvane {
namespace {

TEST(RecursiveLockTest, OwnerReentersAndReleasesOnlyAfterLastLeave) {
    CRecursiveLock lock;
    lock.Enter();
    lock.Enter();
    EXPECT_TRUE(lock.TryEnter());
    EXPECT_EQ(lock.LockCount(), 3);

    std::atomic<bool> acquired{false};
    platform::Event done(true);
    std::thread other([&] {
        lock.Enter();
        acquired = true;
        lock.Leave();
        done.Set();
    });
    lock.Leave();
    lock.Leave();
    // Still held once: the other thread must not have got in.
    EXPECT_FALSE(done.Wait(100));
    EXPECT_FALSE(acquired.load());
    lock.Leave();
    EXPECT_TRUE(done.Wait(5000));
    other.join();
    EXPECT_TRUE(acquired.load());
    EXPECT_EQ(lock.LockCount(), 0);
}

TEST(RecursiveLockTest, ContendedCounterStaysExact) {
    CRecursiveLock lock;
    int64_t counter = 0;  // guarded by lock only
    constexpr int kThreads = 4;
    constexpr int kIterations = 20000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kIterations; ++i) {
                CLockGuard outer(lock);
                CLockGuard inner(lock);  // recursion under contention
                ++counter;
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(counter, int64_t{kThreads} * kIterations);
    EXPECT_EQ(lock.LockCount(), 0);
}

TEST(RecursiveLockTest, GuardReleasesWhenAnExceptionPasses) {
    CRecursiveLock lock;
    try {
        CLockGuard guard(lock);
        throw std::runtime_error("boom");
    } catch (const std::runtime_error&) {
    }
    EXPECT_EQ(lock.LockCount(), 0);
    std::thread other([&] { EXPECT_TRUE(lock.TryEnter()); lock.Leave(); });
    other.join();
}

TEST(RecursiveLockTest, SingleProcessorGivesUpAfterOneAttempt) {
    CRecursiveLock::SetSingleProcessorForTesting(1);
    CRecursiveLock single;
    CRecursiveLock::SetSingleProcessorForTesting(0);
    CRecursiveLock multi;
    CRecursiveLock::SetSingleProcessorForTesting(-1);
    EXPECT_EQ(single.SpinCount(), 0u);
    EXPECT_EQ(multi.SpinCount(), 4000u);

    single.Enter();
    bool got = true;
    std::thread other([&] { got = single.TryEnter(); });
    other.join();
    EXPECT_FALSE(got);
    single.Leave();
}

}  // namespace
}  // namespace talvane
