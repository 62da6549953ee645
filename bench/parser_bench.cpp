// Throughput of the stream's two CPU stages: the H.264 parser (part payloads in, host frames out)
// and the "Length: " part reader (stream bytes in, part payloads out).
//
// The input is real H.264: a few seconds of the simulator's moving test pattern, encoded by the
// simulator's x264 encoder and cut into part payloads by its packetizer, exactly as the simulated
// camera sends them. Pacing is off (frame period 0), so the parser delivers as fast as it can;
// frames go to a pooled allocator and a receiver that only counts them.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <map>
#include <tuple>
#include <vector>

#include "bench_support.h"
#include "channel/part_reader.h"
#include "media/h264_media_parser.h"
#include "platform/platform.h"
#include "support/fake_driver.h"

namespace {

constexpr size_t kSeconds = 5;
constexpr int kFrameRate = 25;

// Encoded once per (width, height, payload limit) and shared by every run that needs it.
const zarnbench::EncodedStream& Stream(int width, int height, size_t maxPayload) {
    static std::map<std::tuple<int, int, size_t>, zarnbench::EncodedStream> cache;
    const auto key = std::make_tuple(width, height, maxPayload);
    auto it = cache.find(key);
    if (it == cache.end()) {
        zarncam::StreamConfig config;
        config.width = width;
        config.height = height;
        config.frameRate = kFrameRate;
        config.iFrameInterval = kFrameRate;
        // The bit rate the driver asks for at quality 50 (see CH264HttpChannel::BitRateFor).
        config.bitRateKbps = width <= 400 ? 1024 : (height <= 576 ? 3072 : 3072 * 3 / 2);
        it = cache.emplace(key, zarnbench::EncodePattern(config, kSeconds * kFrameRate, maxPayload))
                 .first;
    }
    return it->second;
}

// Counts the frames the parser hands over; takes every one.
class CountingReceiver final : public talvane::IMediaReceiver {
public:
    bool OnFrame(talvane::IHostFrame* frame) override {
        ++frames;
        bytes += frame->GetDataSize();
        return true;
    }
    uint64_t frames = 0;
    uint64_t bytes = 0;
};

// One iteration parses the whole encoded sequence once; the parser keeps its state from one pass to
// the next, so the passes join into one endless stream that starts every pass with a key picture.
void BM_H264Parse(benchmark::State& state) {
    const int width = static_cast<int>(state.range(0));
    const int height = static_cast<int>(state.range(1));
    const size_t maxPayload = static_cast<size_t>(state.range(2));
    const zarnbench::EncodedStream& stream = Stream(width, height, maxPayload);

    zarntest::FakeDriver driver;
    zarnbench::PooledFrameAllocator allocator;
    driver.SetAllocator(&allocator);
    CountingReceiver receiver;
    talvane::CH264MediaParser parser(&driver, "ZarnHDIPCapture");
    parser.SetReceiver(&receiver);
    parser.SetStreamParams(0, 50, static_cast<uint32_t>(width), static_cast<uint32_t>(height));

    // The parser takes a payload by non-const reference (the channel's read buffer), so it gets a
    // private copy of the sequence; it does not change the payloads.
    std::vector<std::vector<uint8_t>> payloads = stream.payloads;
    for (auto _ : state) {
        for (auto& payload : payloads) parser.Parse(payload);
    }
    if (receiver.frames == 0) {
        state.SkipWithError("the parser delivered no frame");
        return;
    }
    // Every picture of every pass is delivered except the very last one, which waits for the next
    // picture to begin.
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * stream.payloadBytes));
    state.counters["frames/s"] =
        benchmark::Counter(static_cast<double>(receiver.frames), benchmark::Counter::kIsRate);
    state.counters["payloads/pass"] = static_cast<double>(stream.payloads.size());
    state.counters["frames/pass"] = static_cast<double>(stream.pictures);
    state.counters["delivered"] = static_cast<double>(receiver.frames);
    state.counters["avg_frame_B"] =
        static_cast<double>(receiver.bytes) / static_cast<double>(receiver.frames);
    state.SetLabel(std::to_string(width) + "x" + std::to_string(height) + ", " +
                   std::to_string(maxPayload) + " B payloads");
}
BENCHMARK(BM_H264Parse)
    ->ArgNames({"w", "h", "payload"})
    ->Args({352, 288, 4096})
    ->Args({704, 576, 4096})
    ->Args({704, 576, 1024})
    ->Args({1280, 720, 4096})
    ->Unit(benchmark::kMillisecond);

// One iteration reads every part of the stream once (header, then payload), as the channel's read
// loop does, with a cancel check of the same kind (stop event, then a monotonic clock reading).
void BM_PartReader(benchmark::State& state) {
    const bool garbage = state.range(0) != 0;
    const zarnbench::EncodedStream& stream = Stream(704, 576, 4096);
    const std::vector<uint8_t> bytes = zarnbench::FrameParts(stream, garbage);

    zarnbench::LoopingByteSource source(bytes);
    talvane::platform::Event stop(true, false);
    const uint64_t deadline = talvane::platform::MonotonicMs() + 3600u * 1000u;
    talvane::CPartReader reader(
        source, [&] { return stop.IsSet() || talvane::platform::MonotonicMs() > deadline; });
    std::vector<uint8_t> payload;
    uint64_t parts = 0;
    uint64_t payloadBytes = 0;
    for (auto _ : state) {
        for (size_t i = 0; i < stream.payloads.size(); ++i) {
            const talvane::CPartReader::Header header = reader.ReadHeader();
            if (header.length == 0 || !reader.ReadPayload(header.length, payload) ||
                payload.size() != stream.payloads[i].size()) {
                state.SkipWithError("the part reader lost the part framing");
                return;
            }
            ++parts;
            payloadBytes += payload.size();
            benchmark::DoNotOptimize(payload.data());
            payload = {};  // the channel's loop also starts every part with a fresh buffer
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(source.Delivered()));
    state.counters["parts/s"] =
        benchmark::Counter(static_cast<double>(parts), benchmark::Counter::kIsRate);
    state.counters["payload_B/s"] =
        benchmark::Counter(static_cast<double>(payloadBytes), benchmark::Counter::kIsRate,
                           benchmark::Counter::kIs1024);
    state.counters["stream_B/pass"] = static_cast<double>(bytes.size());
    state.SetLabel(garbage ? "garbage before every part" : "clean parts");
}
BENCHMARK(BM_PartReader)->ArgName("garbage")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
