// The soak run: one host process, 16 channels through the loaded driver module against chaos
// cameras, for SOAK_MINUTES (default 10). Not part of the test suite: `make soak`.
//
// The cameras run in a `zarncam control` process this program starts (loop mode, chaos mode with
// seeds SOAK_SEED + channel), so that the host process holds only the driver, the host objects and
// the checks. Every delivered frame is decoded with libavcodec on a decoder thread. Once a second
// the cameras' outages are compared with what the channels did:
//   - a recovery is the time from the end of an outage (the camera could serve pictures again; for
//     outages that follow each other without a gap, the end of the last) to the channel's next
//     frame; every outage must be recovered within the channel's reconnect
//     pacing (5 s after a loss, then the 5 s encoder pause) plus one frame period, with a
//     scheduling tolerance of kToleranceMs;
//   - a signal-loss notice is explained when it falls in an outage or within that bound after it;
//     an outage (or a run of outages without a gap) longer than the no-data time-out and a second
//     must be followed by one.
// Resident memory, open descriptors and threads are sampled at the start, every 10 s (printed each
// minute) and at the end, and once more after every driver is closed.
//
// Exit status 0 when every check holds: no frame failed to decode, no channel was left without
// recovery, no unexplained loss, memory grew less than 1 MiB after the first minute, descriptors
// and threads did not grow (and went back to where they were before the drivers opened). 1
// otherwise, 2 when the run could not be set up.
//
// Environment: SOAK_MINUTES, SOAK_SECONDS (overrides the minutes, for quick runs), SOAK_CHANNELS
// (default 16), SOAK_SEED (default 1), SOAK_TIME_SCALE (chaos durations, default 1), SOAK_DEBUG
// (every recovery and every unexplained loss on standard error).
// Options: --zarncam PATH (default: the build's), --report FILE (the report is also written there).
#include <dirent.h>
#include <fcntl.h>
#include <malloc.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "camsim.h"
#include "control_process.h"
#include "support/driver_module.h"
#include "support/fake_host.h"
#include "zarn/capture.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
}

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kWidth = 352;
constexpr int kHeight = 288;
constexpr int kPeriodMs = 40;
constexpr int kLoopSeconds = 4;
constexpr double kLostReconnectMs = 5000;  // the channel's wait after a loss
constexpr double kEncoderPauseMs = 5000;   // the channel's pause after configuring the encoder
constexpr double kToleranceMs = 1000;      // request round trips and scheduling on a busy machine
constexpr double kRecoveryBoundMs = kLostReconnectMs + kEncoderPauseMs + kPeriodMs + kToleranceMs;
constexpr auto kChainSlack = std::chrono::milliseconds(50);  // outages this close form one
constexpr size_t kMaxQueuedFrames = 4096;
constexpr size_t kMaxLossTimes = 10000;
constexpr const char* kPassword = "soak-Pw&1";

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

int EnvInt(const char* name, int fallback) {
    const char* text = std::getenv(name);
    return text != nullptr && *text != '\0' ? std::atoi(text) : fallback;
}

// ----- the process's resources ------------------------------------------------------------------

struct Resources {
    long rssKiB = 0;
    int fds = 0;
    int threads = 0;
};

// Resident memory is read after free heap pages went back to the system, so that it follows the
// memory in use rather than what the allocator keeps at hand.
Resources Sample() {
    ::malloc_trim(0);
    Resources r;
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) r.rssKiB = std::atol(line.c_str() + 6);
        if (line.rfind("Threads:", 0) == 0) r.threads = std::atoi(line.c_str() + 8);
    }
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        while (const dirent* entry = ::readdir(dir)) {
            if (entry->d_name[0] != '.') ++r.fds;
        }
        ::closedir(dir);
        --r.fds;  // the directory's own descriptor
    }
    return r;
}

std::string Describe(const Resources& r) {
    char text[96];
    std::snprintf(text, sizeof(text), "rss %6.1f MiB  fds %3d  threads %3d", r.rssKiB / 1024.0,
                  r.fds, r.threads);
    return text;
}

// ----- decoding ---------------------------------------------------------------------------------

struct QueuedFrame {
    size_t channel = 0;
    uint32_t width = 0;
    uint32_t height = 0;
    std::vector<uint8_t> data;  // the access unit, without the appended delimiter
};

// libavcodec reports damage through its process-wide log; the decoder thread notes which channel
// it is decoding.
thread_local std::atomic<uint64_t>* tDecodeErrors = nullptr;

void CountDecoderErrors(void*, int level, const char* format, va_list args) {
    if (level > AV_LOG_ERROR) return;
    if (tDecodeErrors != nullptr) ++*tDecodeErrors;
    char text[256];
    std::vsnprintf(text, sizeof(text), format, args);
    std::fprintf(stderr, "decoder: %s", text);
}

class Decoder {
public:
    Decoder() {
        const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
        context_ = codec != nullptr ? avcodec_alloc_context3(codec) : nullptr;
        if (context_ != nullptr) {
            context_->thread_count = 1;
            if (avcodec_open2(context_, codec, nullptr) < 0) avcodec_free_context(&context_);
        }
        packet_ = av_packet_alloc();
        picture_ = av_frame_alloc();
    }
    ~Decoder() {
        av_frame_free(&picture_);
        av_packet_free(&packet_);
        avcodec_free_context(&context_);
    }
    bool Ok() const { return context_ != nullptr && packet_ != nullptr && picture_ != nullptr; }

    // Decodes one frame; false when it failed, was damaged or had another size.
    bool Decode(QueuedFrame& frame, std::atomic<uint64_t>& errors) {
        const uint64_t before = errors.load();
        tDecodeErrors = &errors;
        packet_->data = frame.data.data();
        packet_->size = static_cast<int>(frame.data.size());
        bool ok = avcodec_send_packet(context_, packet_) == 0;
        while (avcodec_receive_frame(context_, picture_) == 0) {
            if (picture_->decode_error_flags != 0 ||
                picture_->width != static_cast<int>(frame.width) ||
                picture_->height != static_cast<int>(frame.height)) {
                ok = false;
            }
        }
        tDecodeErrors = nullptr;
        return ok && errors.load() == before;
    }

private:
    AVCodecContext* context_ = nullptr;
    AVPacket* packet_ = nullptr;
    AVFrame* picture_ = nullptr;
};

// ----- one channel ------------------------------------------------------------------------------

// The host's log for one driver: counts the notices of a camera going offline (lost signal or
// failure, not a stop) and coming online, keeps nothing else.
class CountingLog final : public talvane::IHostDebugSink {
public:
    ZARN_IMPLEMENT_SLOT0(CountingLog)
    void Output(const talvane::CDebugInfoIf* record) override {
        const char* text = record->GetText();
        if (text == nullptr) return;
        ++records;
        if (std::strstr(text, "Signal was lost") != nullptr ||
            std::strstr(text, " is offline or failed") != nullptr) {
            ++offline;
        }
        if (std::strstr(text, " is online") != nullptr) ++online;
        if (std::strstr(text, kPassword) != nullptr) ++secrets;
    }
    std::atomic<uint64_t> records{0};
    std::atomic<uint64_t> offline{0};
    std::atomic<uint64_t> online{0};
    std::atomic<uint64_t> secrets{0};
};

// The host's frame allocator: a frame of exactly the capacity asked for, freed on release. Unlike
// the suite's fake it keeps no record of past frames, so nothing of it grows during a long run.
class FrameAllocator final : public talvane::IFrameAllocator {
public:
    ZARN_IMPLEMENT_SLOT0(FrameAllocator)
    void Reserved1() override { zarntest::ReportUnexpectedSlot("IFrameAllocator slot 1"); }
    talvane::IHostFrame* AllocateFrame(uint32_t fourcc, uint32_t capacity,
                                       const char* name) override {
        auto frame =
            std::make_unique<zarntest::FakeFrame>(fourcc, capacity, name != nullptr ? name : "");
        talvane::IHostFrame* handle = frame.get();
        std::lock_guard lock(mutex_);
        live_.emplace(handle, std::move(frame));
        return handle;
    }
    void Reserved3() override { zarntest::ReportUnexpectedSlot("IFrameAllocator slot 3"); }
    void Reserved4() override { zarntest::ReportUnexpectedSlot("IFrameAllocator slot 4"); }
    void Reserved5() override { zarntest::ReportUnexpectedSlot("IFrameAllocator slot 5"); }
    void ReleaseFrame(talvane::IHostFrame* frame) override {
        std::lock_guard lock(mutex_);
        if (live_.erase(frame) == 0) {
            zarntest::ReportUnexpectedSlot("ReleaseFrame of a frame it did not hand out");
        }
    }
    size_t Outstanding() {
        std::lock_guard lock(mutex_);
        return live_.size();
    }

private:
    std::mutex mutex_;
    std::map<talvane::IHostFrame*, std::unique_ptr<zarntest::FakeFrame>> live_;
};

struct FrameQueue {
    std::mutex mutex;
    std::condition_variable cv;
    std::deque<QueuedFrame> frames;
    bool done = false;
    std::atomic<uint64_t> overflow{0};
};

class SoakSink final : public talvane::IChannelSink {
public:
    SoakSink(size_t channel, FrameQueue& queue) : channel_(channel), queue_(queue) {}
    ZARN_IMPLEMENT_SLOT0(SoakSink)

    bool OnFrame(talvane::IHostFrame* frame) override {
        QueuedFrame copy;
        copy.channel = channel_;
        copy.width = frame->GetWidth();
        copy.height = frame->GetHeight();
        const uint32_t size = frame->GetDataSize();
        const uint8_t* data = frame->GetBuffer();
        if (data != nullptr && size > 5) copy.data.assign(data, data + size - 5);
        {
            std::lock_guard lock(mutex_);
            recent_.push_back(Clock::now());
        }
        ++frames;
        {
            std::lock_guard lock(queue_.mutex);
            if (queue_.frames.size() >= kMaxQueuedFrames) {
                ++queue_.overflow;
            } else {
                queue_.frames.push_back(std::move(copy));
            }
        }
        queue_.cv.notify_one();
        return true;
    }
    void Reserved2() override { zarntest::ReportUnexpectedSlot("IChannelSink slot 2"); }
    // A stop is reported as a loss too; only the notices before the stop count.
    void OnSignalLost() override {
        if (stopping.load()) return;
        std::lock_guard lock(mutex_);
        if (losses_.size() < kMaxLossTimes) losses_.push_back(Clock::now());
        ++lossCount;
    }

    // Frame arrival times since the last call.
    std::vector<Clock::time_point> TakeRecent() {
        std::lock_guard lock(mutex_);
        return std::exchange(recent_, {});
    }
    std::vector<Clock::time_point> Losses() {
        std::lock_guard lock(mutex_);
        return losses_;
    }

    std::atomic<uint64_t> frames{0};
    std::atomic<uint64_t> lossCount{0};
    std::atomic<bool> stopping{false};

private:
    const size_t channel_;
    FrameQueue& queue_;
    std::mutex mutex_;
    std::vector<Clock::time_point> recent_;
    std::vector<Clock::time_point> losses_;
};

struct TrackedOutage {
    zarncam::Outage outage;
    bool recovered = false;
};

struct Channel {
    Channel(size_t index, FrameQueue& queue) : sink(index, queue) {}

    std::unique_ptr<zarncam::Camera> camera;
    CountingLog log;
    FrameAllocator allocator;
    zarntest::FakeDriverConfig config;
    zarntest::FakeStreamSettings settings{kWidth, kHeight, kPeriodMs, 50};
    SoakSink sink;
    talvane::ipcapture::IIPCaptureDriverEx3* driver = nullptr;
    talvane::ipcapture::IIPVideoCapture* capture = nullptr;

    Decoder decoder;
    std::atomic<uint64_t> decoded{0};
    std::atomic<uint64_t> decodeFailures{0};
    std::atomic<uint64_t> decoderErrors{0};

    std::vector<TrackedOutage> outages;
    uint64_t recoveries = 0;
    double longestRecoveryMs = 0;
    Clock::time_point lastFrame{};
};

Clock::time_point gStart;  // the start of the run, for the debugging output

// When the camera could serve pictures again after outage i: its end, or for outages that follow
// each other without a gap the end of the last; time_point::max() while that is open.
Clock::time_point BackAt(const Channel& c, size_t i) {
    Clock::time_point back = c.outages[i].outage.end;
    for (size_t k = i + 1; k < c.outages.size() && back != Clock::time_point::max(); ++k) {
        if (c.outages[k].outage.begin > back + kChainSlack) break;
        back = std::max(back, c.outages[k].outage.end);
    }
    return back;
}

// Brings the channel's outages up to date and matches them with the frames that arrived.
void Track(Channel& c, const std::vector<Clock::time_point>& frames) {
    const std::vector<zarncam::Outage> current = c.camera->Outages();
    for (size_t i = 0; i < current.size(); ++i) {
        if (i < c.outages.size()) {
            c.outages[i].outage.end = current[i].end;
        } else {
            c.outages.push_back(TrackedOutage{current[i], false});
        }
    }
    for (size_t i = 0; i < c.outages.size(); ++i) {
        TrackedOutage& t = c.outages[i];
        if (t.recovered) continue;
        // An outage the next one begins within (a stream ended by a spell of 401 answers, say)
        // did not give the camera back: its recovery counts from the end of the whole chain.
        const Clock::time_point back = BackAt(c, i);
        if (back == Clock::time_point::max()) continue;
        for (const Clock::time_point frame : frames) {
            if (frame < back) continue;
            t.recovered = true;
            ++c.recoveries;
            c.longestRecoveryMs = std::max(c.longestRecoveryMs, Ms(frame - back));
            if (std::getenv("SOAK_DEBUG") != nullptr) {
                std::fprintf(
                    stderr, "recovered from %s %.1f .. %.1f s (back at %.1f s) after %.0f ms\n",
                    t.outage.kind.c_str(), Ms(t.outage.begin - gStart) / 1000,
                    Ms(t.outage.end - gStart) / 1000, Ms(back - gStart) / 1000, Ms(frame - back));
            }
            break;
        }
    }
    if (!frames.empty()) c.lastFrame = frames.back();
}

// Outages (or runs of outages without a gap) of more than the no-data time-out plus a second that
// no loss notice followed.
uint64_t MissedLosses(Channel& c, Clock::time_point stop) {
    const std::vector<Clock::time_point> losses = c.sink.Losses();
    const auto bound = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double, std::milli>(kRecoveryBoundMs));
    uint64_t missed = 0;
    for (size_t i = 0; i < c.outages.size(); ++i) {
        const bool chained = i > 0 && c.outages[i].outage.begin <= BackAt(c, i - 1) + kChainSlack;
        if (chained) continue;
        const Clock::time_point begin = c.outages[i].outage.begin;
        const Clock::time_point back = std::min(BackAt(c, i), stop);
        if (back - begin < 11s) continue;
        const bool noticed = std::any_of(losses.begin(), losses.end(), [&](Clock::time_point l) {
            return begin <= l && l <= back + bound;
        });
        if (!noticed) ++missed;
    }
    return missed;
}

// Loss notices that no outage explains.
uint64_t UnexplainedLosses(Channel& c, Clock::time_point now) {
    uint64_t unexplained = 0;
    const auto bound = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double, std::milli>(kRecoveryBoundMs));
    for (const Clock::time_point loss : c.sink.Losses()) {
        bool explained = false;
        for (const TrackedOutage& t : c.outages) {
            const auto end = t.outage.end == Clock::time_point::max() ? now : t.outage.end;
            if (t.outage.begin <= loss && loss <= end + bound) explained = true;
        }
        if (!explained) {
            ++unexplained;
            if (std::getenv("SOAK_DEBUG") != nullptr) {
                std::fprintf(stderr, "unexplained loss at %.1f s\n", Ms(loss - gStart) / 1000);
                for (const TrackedOutage& t : c.outages) {
                    std::fprintf(stderr, "   outage %s %.1f .. %.1f\n", t.outage.kind.c_str(),
                                 Ms(t.outage.begin - gStart) / 1000,
                                 t.outage.end == Clock::time_point::max()
                                     ? -1.0
                                     : Ms(t.outage.end - gStart) / 1000);
                }
            }
        }
    }
    return unexplained;
}

}  // namespace

int main(int argc, char** argv) {
    std::string zarncamPath = ZARNCAM_PATH;
    std::string reportPath;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--zarncam") {
            zarncamPath = argv[i + 1];
        } else if (option == "--report") {
            reportPath = argv[i + 1];
        } else {
            std::fprintf(stderr, "usage: soak [--zarncam PATH] [--report FILE]\n");
            return 2;
        }
    }
    const int seconds = EnvInt("SOAK_SECONDS", 60 * EnvInt("SOAK_MINUTES", 10));
    const size_t channelCount = static_cast<size_t>(std::clamp(EnvInt("SOAK_CHANNELS", 16), 1, 64));
    const uint64_t seed = static_cast<uint64_t>(EnvInt("SOAK_SEED", 1));
    const char* scaleText = std::getenv("SOAK_TIME_SCALE");
    const double timeScale = scaleText != nullptr ? std::atof(scaleText) : 1.0;

    // The camera process first, before this process has any thread.
    zarnbench::ControlProcess cameras;
    std::string error;
    if (!cameras.Start(zarncamPath, &error)) {
        std::fprintf(stderr, "soak: %s\n", error.c_str());
        return 2;
    }
    ::setenv("ZARNCAM_CONTROL", cameras.Address().c_str(), 1);
    std::signal(SIGPIPE, SIG_IGN);
    zarntest::DriverModule module;
    if (!module.Loaded()) {
        std::fprintf(stderr, "soak: cannot load the driver: %s\n", module.Error().c_str());
        return 2;
    }
    auto create = module.Function<ZarnCreateIPCaptureFn>("CreateIPCapture");
    auto destroy = module.Function<ZarnDeleteIPCaptureFn>("DeleteIPCapture");
    if (create == nullptr || destroy == nullptr) {
        std::fprintf(stderr, "soak: the driver lacks its exports\n");
        return 2;
    }
    av_log_set_callback(CountDecoderErrors);

    FrameQueue queue;
    std::vector<std::unique_ptr<Channel>> channels;
    for (size_t i = 0; i < channelCount; ++i) {
        auto c = std::make_unique<Channel>(i, queue);
        zarncam::Config config;
        config.user = "admin";
        config.password = kPassword;
        config.auth = {zarncam::AuthScheme::kBasic};
        config.loopSeconds = kLoopSeconds;
        config.chaosSeed = seed + i;
        config.chaosTimeScale = timeScale;
        c->camera = std::make_unique<zarncam::Camera>(config);
        if (!c->camera->Start() || !c->decoder.Ok()) {
            std::fprintf(stderr, "soak: camera or decoder %zu cannot start\n", i);
            return 2;
        }
        c->config.network.address = "127.0.0.1";
        c->config.network.port = c->camera->Port();
        c->config.network.user = "admin";
        c->config.network.password = kPassword;
        channels.push_back(std::move(c));
    }

    const Resources before = Sample();
    std::thread decoderThread([&] {
        for (;;) {
            QueuedFrame frame;
            {
                std::unique_lock lock(queue.mutex);
                queue.cv.wait(lock, [&] { return queue.done || !queue.frames.empty(); });
                if (queue.frames.empty()) return;
                frame = std::move(queue.frames.front());
                queue.frames.pop_front();
            }
            Channel& c = *channels[frame.channel];
            if (c.decoder.Decode(frame, c.decoderErrors)) {
                ++c.decoded;
            } else {
                ++c.decodeFailures;
            }
        }
    });

    for (auto& c : channels) {
        c->driver = create();
        if (c->driver == nullptr || !c->driver->Open(&c->log, &c->allocator, &c->config) ||
            (c->capture = c->driver->GetVideoCapture()) == nullptr ||
            !c->capture->StartChannel(0, &c->sink, &c->settings)) {
            std::fprintf(stderr, "soak: a channel cannot start\n");
            return 2;
        }
    }

    std::ostringstream report;
    auto print = [&](const std::string& line) {
        std::printf("%s\n", line.c_str());
        std::fflush(stdout);
        report << line << "\n";
    };
    char line[512];
    std::snprintf(
        line, sizeof(line),
        "soak: %zu channels, %dx%d at %d ms, %d s, chaos seeds %llu..%llu (time scale "
        "%.3g), recovery bound %.0f ms",
        channelCount, kWidth, kHeight, kPeriodMs, seconds, static_cast<unsigned long long>(seed),
        static_cast<unsigned long long>(seed + channelCount - 1), timeScale, kRecoveryBoundMs);
    print(line);
    print("  before the drivers opened: " + Describe(before));

    const auto start = Clock::now();
    gStart = start;
    std::vector<std::pair<double, Resources>> samples{{0.0, Sample()}};
    print("  start:     " + Describe(samples.back().second));
    const auto end = start + std::chrono::seconds(seconds);
    auto nextSample = start + 10s;
    int minute = 0;
    while (Clock::now() < end) {
        std::this_thread::sleep_for(1s);
        for (auto& c : channels) Track(*c, c->sink.TakeRecent());
        if (Clock::now() >= nextSample) {
            nextSample += 10s;
            samples.emplace_back(Ms(Clock::now() - start) / 1000.0, Sample());
            const int now = static_cast<int>(samples.back().first / 60);
            if (now > minute) {
                minute = now;
                uint64_t frames = 0;
                for (auto& c : channels) frames += c->sink.frames.load();
                std::snprintf(line, sizeof(line), "  minute %2d: %s  frames %llu", minute,
                              Describe(samples.back().second).c_str(),
                              static_cast<unsigned long long>(frames));
                print(line);
            }
        }
    }
    const auto stopTime = Clock::now();
    for (auto& c : channels) Track(*c, c->sink.TakeRecent());
    const Resources atEnd = Sample();
    samples.emplace_back(Ms(stopTime - start) / 1000.0, atEnd);
    print("  end:       " + Describe(atEnd));
    // Stopping a channel is no loss of signal and takes the camera offline: count up to here.
    std::vector<uint64_t> offlineNotices;
    for (auto& c : channels) {
        c->sink.stopping = true;
        offlineNotices.push_back(c->log.offline.load());
    }

    for (auto& c : channels) {
        c->capture->StopChannel(0);
        c->driver->Close();
        destroy(c->driver);
        c->driver = nullptr;
    }
    {
        std::lock_guard lock(queue.mutex);
        queue.done = true;
    }
    queue.cv.notify_all();
    decoderThread.join();
    const Resources closed = Sample();
    print("  closed:    " + Describe(closed));

    // ----- the report and the checks -----
    print("");
    print(
        "channel  frames  decoded  failed  outages  long  losses  offline  unexplained  missed  "
        "recovered  pending  longest-ms");
    uint64_t totalFrames = 0, totalDecoded = 0, totalFailed = 0, totalOutages = 0, totalLong = 0;
    uint64_t totalLosses = 0, totalOffline = 0, totalUnexplained = 0, totalRecovered = 0;
    uint64_t totalUnrecovered = 0, totalSecrets = 0, totalMissed = 0;
    double longest = 0;
    std::vector<std::string> failures;
    const auto bound = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double, std::milli>(kRecoveryBoundMs));
    for (size_t i = 0; i < channels.size(); ++i) {
        Channel& c = *channels[i];
        uint64_t longOutages = 0;
        uint64_t unrecovered = 0;  // ended long enough before the stop, never followed by a frame
        uint64_t pending = 0;      // still open, or ended too shortly before the stop
        for (size_t k = 0; k < c.outages.size(); ++k) {
            const TrackedOutage& t = c.outages[k];
            const auto endOf = t.outage.end == Clock::time_point::max() ? stopTime : t.outage.end;
            if (endOf - t.outage.begin >= 10s) ++longOutages;
            if (t.recovered) continue;
            const Clock::time_point back = BackAt(c, k);
            if (back != Clock::time_point::max() && back + bound < stopTime) {
                ++unrecovered;
            } else {
                ++pending;
            }
        }
        const uint64_t unexplained = UnexplainedLosses(c, stopTime);
        const uint64_t missed = MissedLosses(c, stopTime);
        std::snprintf(line, sizeof(line),
                      "%7zu  %6llu  %7llu  %6llu  %7zu  %4llu  %6llu  %7llu  %11llu  %6llu  %9llu  "
                      "%7llu  %10.0f",
                      i, static_cast<unsigned long long>(c.sink.frames.load()),
                      static_cast<unsigned long long>(c.decoded.load()),
                      static_cast<unsigned long long>(c.decodeFailures.load()), c.outages.size(),
                      static_cast<unsigned long long>(longOutages),
                      static_cast<unsigned long long>(c.sink.lossCount.load()),
                      static_cast<unsigned long long>(offlineNotices[i]),
                      static_cast<unsigned long long>(unexplained),
                      static_cast<unsigned long long>(missed),
                      static_cast<unsigned long long>(c.recoveries),
                      static_cast<unsigned long long>(pending + unrecovered), c.longestRecoveryMs);
        print(line);
        totalFrames += c.sink.frames.load();
        totalDecoded += c.decoded.load();
        totalFailed += c.decodeFailures.load();
        totalOutages += c.outages.size();
        totalLong += longOutages;
        totalLosses += c.sink.lossCount.load();
        totalOffline += offlineNotices[i];
        totalUnexplained += unexplained;
        totalMissed += missed;
        totalRecovered += c.recoveries;
        totalUnrecovered += unrecovered;
        totalSecrets += c.log.secrets.load();
        longest = std::max(longest, c.longestRecoveryMs);
        if (c.sink.frames.load() == 0)
            failures.push_back("channel " + std::to_string(i) + " never delivered a frame");
    }
    std::snprintf(
        line, sizeof(line),
        "  total  %6llu  %7llu  %6llu  %7llu  %4llu  %6llu  %7llu  %11llu  %6llu  %9llu  %7s  "
        "%10.0f",
        static_cast<unsigned long long>(totalFrames), static_cast<unsigned long long>(totalDecoded),
        static_cast<unsigned long long>(totalFailed), static_cast<unsigned long long>(totalOutages),
        static_cast<unsigned long long>(totalLong), static_cast<unsigned long long>(totalLosses),
        static_cast<unsigned long long>(totalOffline),
        static_cast<unsigned long long>(totalUnexplained),
        static_cast<unsigned long long>(totalMissed),
        static_cast<unsigned long long>(totalRecovered), "", longest);
    print(line);

    if (totalFailed > 0) {
        failures.push_back(std::to_string(totalFailed) + " frames failed to decode");
    }
    if (totalMissed > 0) {
        failures.push_back(std::to_string(totalMissed) + " long outages without a loss notice");
    }
    if (queue.overflow.load() > 0) {
        failures.push_back(std::to_string(queue.overflow.load()) +
                           " frames were not decoded (queue full)");
    }
    if (totalUnrecovered > 0) {
        failures.push_back(std::to_string(totalUnrecovered) + " outages never recovered");
    }
    if (longest > kRecoveryBoundMs) failures.push_back("a recovery took longer than the bound");
    if (totalUnexplained > 0) {
        failures.push_back(std::to_string(totalUnexplained) +
                           " signal-loss notices without an outage");
    }
    if (totalSecrets > 0) failures.push_back("the password appeared in the log");
    for (const auto& c : channels) {
        if (c->allocator.Outstanding() != 0) failures.push_back("frames were never released");
    }

    // Growth: memory after the first minute, descriptors and threads against the first minute's
    // highest, and everything back after the drivers closed.
    Resources firstMinute{0, 0, 0};
    Resources lastMinute{0, 0, 0};
    long rssAfterMinute = -1;
    for (const auto& [at, r] : samples) {
        if (at <= 60) {
            firstMinute.fds = std::max(firstMinute.fds, r.fds);
            firstMinute.threads = std::max(firstMinute.threads, r.threads);
        }
        if (rssAfterMinute < 0 && at >= 60) rssAfterMinute = r.rssKiB;
        if (at >= samples.back().first - 60) {
            lastMinute.fds = std::max(lastMinute.fds, r.fds);
            lastMinute.threads = std::max(lastMinute.threads, r.threads);
        }
    }
    if (rssAfterMinute >= 0) {
        const long growth = atEnd.rssKiB - rssAfterMinute;
        std::snprintf(line, sizeof(line),
                      "resident memory after the first minute %.1f MiB, at the end %.1f MiB "
                      "(growth %ld KiB)",
                      rssAfterMinute / 1024.0, atEnd.rssKiB / 1024.0, growth);
        print(line);
        if (growth >= 1024) failures.push_back("resident memory grew by 1 MiB or more");
    }
    std::snprintf(line, sizeof(line),
                  "descriptors: first minute at most %d, last minute at most %d, %d before the "
                  "drivers and %d after them; threads: %d, %d, %d and %d",
                  firstMinute.fds, lastMinute.fds, before.fds, closed.fds, firstMinute.threads,
                  lastMinute.threads, before.threads, closed.threads);
    print(line);
    if (lastMinute.fds > firstMinute.fds || closed.fds > before.fds) {
        failures.push_back("open descriptors grew");
    }
    if (lastMinute.threads > firstMinute.threads || closed.threads > before.threads) {
        failures.push_back("threads grew");
    }

    print(failures.empty() ? "soak: PASS" : "soak: FAIL");
    for (const std::string& f : failures) print("  " + f);
    if (!reportPath.empty()) std::ofstream(reportPath) << report.str();
    return failures.empty() ? 0 : 1;
}
