// The many-camera benchmark's reading of the kernel's process files and its arithmetic: a wrong
// field or a wrong divisor would make every figure of its table wrong without any visible sign.
#include "many_bench_stats.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

using zarnbench::ChannelCounts;

TEST(ManyBenchProcFiles, StatFieldsAreCountedFromTheEndOfTheName) {
    // utime 1234, stime 56 (fields 14 and 15); a name with spaces and parentheses in it.
    const char* stat =
        "4242 (my (odd) name) S 1 4242 4242 0 -1 4194560 523 0 0 0 1234 56 7 8 20 0 1 0 999 "
        "12345678 300 18446744073709551615 1 1 0 0 0 0 0 0 0 0 0 17 1 0 0 0 0 0\n";
    EXPECT_EQ(zarnbench::StatCpuTicks(stat), 1290u);
    EXPECT_EQ(zarnbench::StatCpuTicks("4242 (short) S 1 2"), std::nullopt);
    EXPECT_EQ(zarnbench::StatCpuTicks("no parentheses at all"), std::nullopt);
}

TEST(ManyBenchProcFiles, SchedstatAndStatusValues) {
    EXPECT_EQ(zarnbench::SchedstatRuntimeNs("191345 195194380 2\n"), 191345u);
    EXPECT_EQ(zarnbench::SchedstatRuntimeNs(""), std::nullopt);

    const char* status =
        "Name:\tmany_bench\nVmRSSMax:\t1 kB\nVmRSS:\t   20480 kB\nThreads:\t65\nVmHWM:\t9 kB\n";
    EXPECT_EQ(zarnbench::StatusValue(status, "VmRSS"), 20480);  // not VmRSSMax
    EXPECT_EQ(zarnbench::StatusValue(status, "Threads"), 65);
    EXPECT_EQ(zarnbench::StatusValue(status, "VmSwap"), std::nullopt);
}

TEST(ManyBenchProcFiles, OwnProcessCpuGrowsWithWork) {
    const auto before = zarnbench::ProcessCpuSeconds(static_cast<int>(::getpid()));
    ASSERT_TRUE(before.has_value());
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(50);
    volatile uint64_t spin = 0;
    while (std::chrono::steady_clock::now() < until) spin = spin + 1;
    const auto after = zarnbench::ProcessCpuSeconds(static_cast<int>(::getpid()));
    ASSERT_TRUE(after.has_value());
    EXPECT_GT(*after, *before);
    EXPECT_EQ(zarnbench::ProcessCpuSeconds(-5), std::nullopt);
}

TEST(ManyBenchProcFiles, EverySleepOfAThreadCountsAsOneWakeUp) {
    const auto before = zarnbench::ProcessContextSwitches(0);
    ASSERT_TRUE(before.has_value());
    // Read on a second thread, so that the sum over the process's threads is what counts.
    std::atomic<bool> counted{false};
    std::optional<zarnbench::ContextSwitches> during;
    std::thread second([&] {
        for (int i = 0; i < 20; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        during = zarnbench::ProcessContextSwitches(0);
        counted = true;
    });
    second.join();
    ASSERT_TRUE(counted.load() && during.has_value());
    EXPECT_GE(during->voluntary, before->voluntary + 20);
    EXPECT_EQ(zarnbench::ProcessContextSwitches(-5), std::nullopt);
}

double CpuClock(clockid_t clock) {
    timespec ts{};
    ::clock_gettime(clock, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

void Spin(clockid_t clock, double seconds) {
    const double until = CpuClock(clock) + seconds;
    while (CpuClock(clock) < until) {
    }
}

// The reference's curl processes are read from outside: the CPU of another process, all of its
// living threads summed, must agree with what that process measures of itself.
TEST(ManyBenchProcFiles, AnotherProcessCpuCountsEveryLivingThread) {
    int out[2];
    ASSERT_EQ(::pipe(out), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(out[0]);
        std::atomic<bool> spun{false};
        std::thread helper([&] {
            Spin(CLOCK_THREAD_CPUTIME_ID, 0.06);
            spun = true;
            for (int i = 0; i < 1000; ++i) ::usleep(10000);  // stays alive until killed
        });
        helper.detach();
        Spin(CLOCK_THREAD_CPUTIME_ID, 0.06);
        for (int i = 0; i < 1000 && !spun; ++i) ::usleep(1000);
        const double own = CpuClock(CLOCK_PROCESS_CPUTIME_ID);
        if (::write(out[1], &own, sizeof(own)) != sizeof(own)) ::_exit(1);
        for (int i = 0; i < 1000; ++i) ::usleep(10000);
        ::_exit(0);
    }
    ::close(out[1]);
    double own = -1;
    pollfd pfd{out[0], POLLIN, 0};
    const bool ready =
        ::poll(&pfd, 1, 20000) == 1 && ::read(out[0], &own, sizeof(own)) == sizeof(own);
    const auto seen = ready ? zarnbench::ProcessCpuSeconds(static_cast<int>(child)) : std::nullopt;
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    ::close(out[0]);
    ASSERT_TRUE(ready);
    ASSERT_TRUE(seen.has_value());
    EXPECT_GE(own, 0.12);
    // Read a moment after the child's own reading: as much, and not much more (it only sleeps).
    EXPECT_GE(*seen, own - 0.002);
    EXPECT_LT(*seen, own + 0.02);
}

TEST(ManyBenchFigures, CostPerFrameAndPerStreamHour) {
    // 0.5 CPU s for 16 streams over 10 s that delivered 4000 frames.
    const auto cost = zarnbench::CostOf(0.5, 4000, 16, 10.0);
    ASSERT_TRUE(cost.microsecondsPerFrame && cost.secondsPerStreamHour);
    EXPECT_DOUBLE_EQ(*cost.microsecondsPerFrame, 125.0);
    EXPECT_DOUBLE_EQ(*cost.secondsPerStreamHour, 0.5 / 16 * 360);
    const auto empty = zarnbench::CostOf(0.5, 0, 0, 10.0);
    EXPECT_FALSE(empty.microsecondsPerFrame || empty.secondsPerStreamHour);

    EXPECT_DOUBLE_EQ(*zarnbench::Ratio(1.0, 4.0), 0.25);
    EXPECT_EQ(zarnbench::Ratio(1.0, 0.0), std::nullopt);
    EXPECT_EQ(zarnbench::Ratio(std::nullopt, 2.0), std::nullopt);
}

TEST(ManyBenchFigures, LostFramesAreTheGrowthOfEachChannelsBacklog) {
    // Channel 0 keeps one frame in flight throughout; channel 1 falls 3 behind; channel 2 caught
    // up on the frame it held at the first reading.
    const std::vector<ChannelCounts> start{{100, 99}, {200, 200}, {50, 49}};
    const std::vector<ChannelCounts> end{{350, 349}, {450, 447}, {300, 300}};
    const auto lost = zarnbench::FramesLost(start, end);
    EXPECT_EQ(lost.total, 2);
    EXPECT_EQ(lost.fewest, -1);
    EXPECT_EQ(lost.most, 3);
}

TEST(ManyBenchFigures, ChannelCountList) {
    EXPECT_EQ(zarnbench::ParseCounts("1,16,64", 256), (std::vector<int>{1, 16, 64}));
    EXPECT_EQ(zarnbench::ParseCounts("8", 256), (std::vector<int>{8}));
    EXPECT_EQ(zarnbench::ParseCounts("", 256), std::nullopt);
    EXPECT_EQ(zarnbench::ParseCounts("1,,4", 256), std::nullopt);
    EXPECT_EQ(zarnbench::ParseCounts("1,16,", 256), std::nullopt);
    EXPECT_EQ(zarnbench::ParseCounts("0,4", 256), std::nullopt);
    EXPECT_EQ(zarnbench::ParseCounts("300", 256), std::nullopt);
    EXPECT_EQ(zarnbench::ParseCounts("4x", 256), std::nullopt);
}

}  // namespace
