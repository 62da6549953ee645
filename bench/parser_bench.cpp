// Throughput of the stream's two CPU stages: the H.264 parser (part payloads in, host frames out)
// and the "Length: " part reader (stream bytes in, part payloads out).
//
// The input is real H.264: a few seconds of the simulator's moving test pattern, encoded by the
// simulator's x264 encoder and cut into part payloads by its packetizer, exactly as the simulated
// camera sends them. Pacing is off (frame period 0), so the parser delivers as fast as it can;
// frames go to a pooled allocator and a receiver that only counts them.
//
// Beside the driver's parser, on the same payloads and in the same run: libavcodec's H.264 parser
// fed the Annex B stream those payloads carry (every payload in turn, a continuation without its
// filler byte), and a plain memcpy of every payload into a reused buffer, the least any stage that
// moves the bytes into a host frame can cost. After the table, one line per payload set gives the
// three rates and the two ratios of their times.
#include <benchmark/benchmark.h>
#include <time.h>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
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

double ThreadCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Payload bytes per CPU second of the last (the reported) run of each stage, per payload set.
enum Stage { kDriverParser, kMemcpy, kLibavcodec, kStages };
using PayloadSet = std::tuple<int, int, size_t>;
std::map<PayloadSet, std::array<double, kStages>>& Rates() {
    static std::map<PayloadSet, std::array<double, kStages>> rates;
    return rates;
}

// Measures the CPU time of a benchmark's loop and records the stage's rate when the loop ends.
class RateRecorder {
public:
    RateRecorder(Stage stage, PayloadSet set) : stage_(stage), set_(set) {}
    void Start() { start_ = ThreadCpuSeconds(); }
    void Stop(uint64_t bytes) {
        const double seconds = ThreadCpuSeconds() - start_;
        if (seconds > 0) Rates()[set_][stage_] = static_cast<double>(bytes) / seconds;
    }

private:
    Stage stage_;
    PayloadSet set_;
    double start_ = 0;
};

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
    RateRecorder rate(kDriverParser, {width, height, maxPayload});
    rate.Start();
    for (auto _ : state) {
        for (auto& payload : payloads) parser.Parse(payload);
    }
    rate.Stop(state.iterations() * stream.payloadBytes);
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

// The physical limit: every payload copied once into a reused buffer of the host's largest frame
// class (128 KiB), one after the other as into a frame, starting over at the front when the next
// payload does not fit.
void BM_Memcpy(benchmark::State& state) {
    const int width = static_cast<int>(state.range(0));
    const int height = static_cast<int>(state.range(1));
    const size_t maxPayload = static_cast<size_t>(state.range(2));
    const zarnbench::EncodedStream& stream = Stream(width, height, maxPayload);

    std::vector<uint8_t> buffer(std::max<size_t>(131072, maxPayload));
    size_t offset = 0;
    RateRecorder rate(kMemcpy, {width, height, maxPayload});
    rate.Start();
    for (auto _ : state) {
        for (const auto& payload : stream.payloads) {
            if (offset + payload.size() > buffer.size()) offset = 0;
            std::memcpy(buffer.data() + offset, payload.data(), payload.size());
            offset += payload.size();
        }
        benchmark::DoNotOptimize(buffer.data());
        benchmark::ClobberMemory();
    }
    rate.Stop(state.iterations() * stream.payloadBytes);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * stream.payloadBytes));
    state.SetLabel(std::to_string(width) + "x" + std::to_string(height) + ", " +
                   std::to_string(maxPayload) + " B payloads");
}
BENCHMARK(BM_Memcpy)
    ->ArgNames({"w", "h", "payload"})
    ->Args({352, 288, 4096})
    ->Args({704, 576, 4096})
    ->Args({704, 576, 1024})
    ->Args({1280, 720, 4096})
    ->Unit(benchmark::kMillisecond);

// libavcodec's H.264 parser on the Annex B stream the same payloads carry, one payload per call: a
// payload that begins a NAL unit as it is (00 00 00 00 01 and the unit), a continuation without its
// filler byte. Counts the access units it cuts out.
void BM_LibavcodecParse(benchmark::State& state) {
    const int width = static_cast<int>(state.range(0));
    const int height = static_cast<int>(state.range(1));
    const size_t maxPayload = static_cast<size_t>(state.range(2));
    const zarnbench::EncodedStream& stream = Stream(width, height, maxPayload);

    struct Span {
        const uint8_t* data;
        int size;
    };
    std::vector<Span> spans;
    for (const auto& payload : stream.payloads) {
        const bool startsNal =
            payload.size() >= 3 && payload[0] == 0 && payload[1] == 0 && payload[2] == 0;
        const size_t skip = startsNal ? 0 : 1;
        if (payload.size() > skip) {
            spans.push_back({payload.data() + skip, static_cast<int>(payload.size() - skip)});
        }
    }

    AVCodecParserContext* parser = av_parser_init(AV_CODEC_ID_H264);
    AVCodecContext* context = avcodec_alloc_context3(nullptr);
    if (parser == nullptr || context == nullptr) {
        av_parser_close(parser);
        avcodec_free_context(&context);
        state.SkipWithError("libavcodec has no H.264 parser");
        return;
    }
    uint64_t frames = 0;
    uint64_t outBytes = 0;
    RateRecorder rate(kLibavcodec, {width, height, maxPayload});
    rate.Start();
    for (auto _ : state) {
        for (const Span& span : spans) {
            const uint8_t* data = span.data;
            int size = span.size;
            while (size > 0) {
                uint8_t* out = nullptr;
                int outSize = 0;
                const int used = av_parser_parse2(parser, context, &out, &outSize, data, size,
                                                  AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
                if (used <= 0 && outSize == 0) break;
                data += used;
                size -= used;
                if (outSize > 0) {
                    ++frames;
                    outBytes += static_cast<uint64_t>(outSize);
                }
            }
        }
    }
    rate.Stop(state.iterations() * stream.payloadBytes);
    av_parser_close(parser);
    avcodec_free_context(&context);
    if (frames == 0) {
        state.SkipWithError("libavcodec's parser cut out no frame");
        return;
    }
    // Counted in the driver parser's terms (payload bytes), so the rates compare directly.
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * stream.payloadBytes));
    state.counters["frames/s"] =
        benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate);
    state.counters["delivered"] = static_cast<double>(frames);
    state.counters["avg_frame_B"] = static_cast<double>(outBytes) / static_cast<double>(frames);
    state.SetLabel(std::to_string(width) + "x" + std::to_string(height) + ", " +
                   std::to_string(maxPayload) + " B payloads");
}
BENCHMARK(BM_LibavcodecParse)
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
            // The buffer serves every part, as in the channel.
            benchmark::DoNotOptimize(payload.data());
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

// The rates of the three stages side by side, and how long the driver's parser takes against the
// copy and libavcodec's parser against the driver's (ratios of time per byte, from the rates).
void PrintComparison() {
    bool header = false;
    for (const auto& [set, rates] : Rates()) {
        const auto [width, height, payload] = set;
        if (rates[kDriverParser] <= 0 || rates[kMemcpy] <= 0 || rates[kLibavcodec] <= 0) continue;
        if (!header) {
            std::printf("\nThe parser beside its references (payload bytes per CPU second):\n");
            header = true;
        }
        std::printf(
            "  %dx%d, %zu B payloads: driver parser %.2f GB/s, memcpy %.2f GB/s, libavcodec "
            "%.2f GB/s; driver parser / memcpy time %.2fx, libavcodec / driver parser time "
            "%.1fx\n",
            width, height, payload, rates[kDriverParser] * 1e-9, rates[kMemcpy] * 1e-9,
            rates[kLibavcodec] * 1e-9, rates[kMemcpy] / rates[kDriverParser],
            rates[kDriverParser] / rates[kLibavcodec]);
    }
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    PrintComparison();
    benchmark::Shutdown();
    return 0;
}
