// End to end: an in-process simulated camera (zarncam) streams its live H.264 over loopback HTTP to
// a CH264HttpChannel, which configures the camera, reads the "Length: " parts, parses and paces
// them and hands frames to a fake host sink. Measured, from the first delivered frame on, for a few
// seconds of live streaming:
//   - delivered frames per second, against the rate the host asked for (1000 / period);
//   - spacing of deliveries (mean, p50, p99, max) against the requested period;
//   - CPU time of the channel's worker thread per delivered frame (HTTP read, part reader, parser,
//     copy into the host's frame): the driver's own cost. The process CPU per frame is reported
//     too; it includes the simulator's encoder, which runs in the same process.
// Each benchmark is one iteration of real time (manual time = the measured window).
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "camsim.h"
#include "channel/h264_http_channel.h"
#include "support/fake_driver.h"
#include "support/fake_host.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Length of the measured window: 3 s, or ZARN_BENCH_SECONDS (1..600) for a longer look at drift.
std::chrono::milliseconds MeasureWindow() {
    const char* text = std::getenv("ZARN_BENCH_SECONDS");
    const long seconds = text != nullptr ? std::strtol(text, nullptr, 10) : 0;
    return std::chrono::seconds(seconds >= 1 && seconds <= 600 ? seconds : 3);
}

double ThreadCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double ProcessCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

struct Arrival {
    Clock::time_point at;
    double workerCpu;  // CPU seconds of the channel's worker thread when the frame arrived
    uint32_t bytes;
};

double Percentile(std::vector<double> sorted, double p) {
    if (sorted.empty()) return 0;
    std::sort(sorted.begin(), sorted.end());
    const size_t index = static_cast<size_t>(p * static_cast<double>(sorted.size() - 1) + 0.5);
    return sorted[std::min(index, sorted.size() - 1)];
}

void BM_LiveStream(benchmark::State& state) {
    const auto width = static_cast<uint32_t>(state.range(0));
    const auto height = static_cast<uint32_t>(state.range(1));
    const auto periodMs = static_cast<uint32_t>(state.range(2));

    for (auto _ : state) {
        zarncam::Camera camera;  // no authentication, 4096-byte payloads
        if (!camera.Start()) {
            state.SkipWithError("the simulator could not bind a port");
            return;
        }
        zarntest::FakeDriver driver;
        talvane::DEVICE_INFO device;
        device.address = "127.0.0.1";
        device.port = camera.Port();
        device.user = "admin";
        device.password = "admin";
        device.requestTimeoutMs = 10000;
        device.noDataTimeoutMs = 10000;
        driver.SetDevice(device);
        driver.SetParameter(talvane::CH264HttpChannel::kHdSupportParameter, "0");
        zarntest::FakeFrameAllocator allocator;
        driver.SetAllocator(&allocator);

        zarntest::FakeChannelSink sink;
        sink.SetKeep(0);
        // Written by the worker thread only; read here after the channel was stopped (joined).
        std::vector<Arrival> arrivals;
        arrivals.reserve(4096);
        sink.SetFrameHook([&arrivals](talvane::IHostFrame* frame) {
            arrivals.push_back({Clock::now(), ThreadCpuSeconds(), frame->GetDataSize()});
        });

        auto channel = std::make_unique<talvane::CH264HttpChannel>(&driver, 0, &sink);
        channel->SetConfigurePauseMs(50);
        talvane::StreamParams params{periodMs, 50, width, height};
        if (!channel->Start(&params) || !sink.WaitForFrames(1, 15s)) {
            channel.reset();
            state.SkipWithError("no frame within 15 s");
            return;
        }
        const uint64_t cameraFramesBefore = camera.GetStats().framesSent;
        const double processCpuBefore = ProcessCpuSeconds();
        const Clock::time_point windowStart = Clock::now();
        std::this_thread::sleep_for(MeasureWindow());
        const Clock::time_point windowEnd = Clock::now();
        const double window = std::chrono::duration<double>(windowEnd - windowStart).count();
        const double processCpu = ProcessCpuSeconds() - processCpuBefore;
        const uint64_t cameraFrames = camera.GetStats().framesSent - cameraFramesBefore;
        channel->Stop();
        channel.reset();
        camera.Stop();
        state.SetIterationTime(window);

        if (arrivals.size() < 3) {
            state.SkipWithError("fewer than three frames arrived");
            return;
        }
        std::vector<double> spacing;
        for (size_t i = 1; i < arrivals.size(); ++i) {
            spacing.push_back(
                std::chrono::duration<double, std::milli>(arrivals[i].at - arrivals[i - 1].at)
                    .count());
        }
        const double span =
            std::chrono::duration<double>(arrivals.back().at - arrivals.front().at).count();
        const double intervals = static_cast<double>(arrivals.size() - 1);
        uint64_t bytes = 0;
        for (size_t i = 1; i < arrivals.size(); ++i) bytes += arrivals[i].bytes;
        const size_t late = static_cast<size_t>(std::count_if(
            spacing.begin(), spacing.end(), [&](double ms) { return ms > periodMs * 1.25; }));

        state.counters["fps"] = intervals / span;
        state.counters["fps_asked"] = 1000.0 / periodMs;
        state.counters["camera_fps"] = static_cast<double>(cameraFrames) / window;
        state.counters["frames"] = static_cast<double>(arrivals.size());
        state.counters["gap_mean_ms"] = std::accumulate(spacing.begin(), spacing.end(), 0.0) /
                                        static_cast<double>(spacing.size());
        state.counters["gap_p50_ms"] = Percentile(spacing, 0.50);
        state.counters["gap_p99_ms"] = Percentile(spacing, 0.99);
        state.counters["gap_max_ms"] = *std::max_element(spacing.begin(), spacing.end());
        state.counters["gaps_late"] = static_cast<double>(late);  // above 1.25 periods
        state.counters["worker_cpu_us/frame"] =
            (arrivals.back().workerCpu - arrivals.front().workerCpu) * 1e6 / intervals;
        const auto inWindow = std::count_if(
            arrivals.begin(), arrivals.end(),
            [&](const Arrival& a) { return a.at > windowStart && a.at <= windowEnd; });
        // Pictures the camera sent in the window but the host did not get in it: grows when the
        // driver delivers more slowly than the camera sends (the rest waits in socket buffers).
        state.counters["backlog_frames"] =
            static_cast<double>(cameraFrames) - static_cast<double>(inWindow);
        state.counters["process_cpu_us/frame"] =
            inWindow > 0 ? processCpu * 1e6 / static_cast<double>(inWindow) : 0.0;
        state.counters["kbit/s"] = static_cast<double>(bytes) * 8.0 / 1000.0 / span;
    }
    state.SetLabel(std::to_string(width) + "x" + std::to_string(height) + " every " +
                   std::to_string(periodMs) + " ms");
}
BENCHMARK(BM_LiveStream)
    ->ArgNames({"w", "h", "period_ms"})
    ->Args({352, 288, 40})
    ->Args({704, 576, 40})
    ->Args({352, 288, 20})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
