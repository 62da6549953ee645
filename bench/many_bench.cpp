// Many cameras in one recording-server process: what the driver costs per channel. Not part of the
// test suite: `make bench` runs it after the Google Benchmark programs.
//
// For each channel count N (default 1, 16 and 64):
//   - N cameras run in `zarncam control` processes this program starts (loop mode: a few seconds
//     encoded once and looped to every stream), 704x576 every 40 ms at quality 20, for which the
//     driver asks the camera for 1228 kbit/s: a typical standard-definition camera.
//   - N driver objects, made through the loaded module's exports as a host makes them, each open
//     on its own camera and streaming channel 0 into a host that only counts frames (a frame pool
//     per channel, no decoding), so that the process's CPU time is the driver's.
//   - Once every channel has delivered its first frame, a window of W seconds: CPU (user + system)
//     of this process per delivered frame and per stream-hour, resident memory per channel
//     (after free heap pages went back: (RSS with N channels - RSS before opening) / N), threads,
//     frames delivered against the frames the cameras sent. Then every channel is stopped and the
//     slowest StopChannel reported.
//   - The floor: the same N cameras received by FloorReceiver (floor_receiver.h), a plain thread
//     per stream that sleeps until each frame is due and reads it in one go, in this process once
//     the drivers are gone, for the same window: its CPU per frame and the driver's against it.
//   - The reference: the same N streams (same cameras, so the same encoder settings; same request
//     and credentials) received by N `curl -s -o /dev/null URL` processes for the same window;
//     their CPU from their own accounting (/proc/<pid>/task/*/schedstat), per frame the cameras
//     sent them and per stream-hour, and the driver's cost against theirs.
//   - Wake-ups per frame of the driver, the floor and curl: voluntary context switches of their
//     threads (/proc/<pid>/task/*/status) over their windows.
// The table goes to standard output and to the report file (default <build>/many-bench.txt).
//
// Options: --channels 1,16,64 (or MANY_BENCH_CHANNELS), --seconds W (or MANY_BENCH_SECONDS,
// default 10), --report FILE, --zarncam PATH, --curl PATH (default: curl on PATH), --no-curl,
// --no-floor.
// Exit status 0 when every count ran (the goals are reported, not enforced), 1 when a count could
// not be measured, 2 on a bad command line or when the cameras cannot be started.
#include <fcntl.h>
#include <malloc.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "camsim.h"
#include "camsim_json.h"
#include "control_process.h"
#include "floor_receiver.h"
#include "many_bench_stats.h"
#include "support/driver_module.h"
#include "support/fake_host.h"
#include "zarn/capture.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kWidth = 704;
constexpr int kHeight = 576;
constexpr int kPeriodMs = 40;
// The driver asks for quality * 6144 / 100 kbit/s at this size: 1228 kbit/s.
constexpr int kQuality = 20;
constexpr int kLoopSeconds = 4;
constexpr size_t kCamerasPerServer = 64;  // the control server's limit of connections
constexpr int kMostChannels = 256;
constexpr const char* kUser = "admin";
constexpr const char* kPassword = "many-Pw.7";
constexpr auto kFirstFrameBound = 60s;  // encoder pause (5 s) and the first loop's encoding
constexpr auto kCurlStartBound = 20s;
constexpr auto kCurlWarmUp = 1s;

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

double RusageSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) * 1e-6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

struct Resources {
    long rssKiB = 0;
    long threads = 0;
};

// Read after free heap pages went back to the system, so that it follows the memory in use.
Resources Sample() {
    ::malloc_trim(0);
    Resources r;
    if (const auto status = zarnbench::ReadProcFile("/proc/self/status")) {
        r.rssKiB = zarnbench::StatusValue(*status, "VmRSS").value_or(0);
        r.threads = zarnbench::StatusValue(*status, "Threads").value_or(0);
    }
    return r;
}

std::string LoadAverage() {
    const auto text = zarnbench::ReadProcFile("/proc/loadavg");
    if (!text) return "?";
    // "0.89 1.10 1.12 2/345 6789": the three averages.
    std::istringstream in(*text);
    std::string one, five, fifteen;
    in >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

std::string CpuModel() {
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line;
    while (std::getline(cpuinfo, line)) {
        if (line.rfind("model name", 0) == 0) {
            const size_t colon = line.find(':');
            if (colon != std::string::npos) return line.substr(colon + 2);
        }
    }
    return "?";
}

std::string UtcNow() {
    const time_t now = ::time(nullptr);
    tm utc{};
    ::gmtime_r(&now, &utc);
    char text[32];
    std::strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S UTC", &utc);
    return text;
}

// The full path of `program` (as given when it holds a '/', else searched on PATH); empty when
// there is none. Resolved before forking, so that the child only calls execv.
std::string FindProgram(const std::string& program) {
    if (program.find('/') != std::string::npos) {
        return ::access(program.c_str(), X_OK) == 0 ? program : std::string();
    }
    const char* path = std::getenv("PATH");
    std::istringstream folders(path != nullptr ? path : "/usr/bin:/bin");
    std::string folder;
    while (std::getline(folders, folder, ':')) {
        const std::string candidate = (folder.empty() ? "." : folder) + "/" + program;
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return {};
}

// ----- the camera processes ---------------------------------------------------------------------

// One `zarncam control --port 0` child; its address goes into ZARNCAM_CONTROL before the remote
// cameras it should hold are made.
using CameraServer = zarnbench::ControlProcess;
using zarnbench::EndChild;

// ----- the host side: as cheap as a host can be -------------------------------------------------

// A host frame from the pool: its buffer is kept from one use to the next and only grows.
class PoolFrame final : public talvane::IHostFrame {
public:
    ZARN_IMPLEMENT_SLOT0(PoolFrame)
    uint32_t GetCapacity() override { return capacity; }
    uint8_t* GetBuffer() override { return buffer.get(); }
    uint32_t GetDataSize() override { return dataSize; }
    void SetDataSize(uint32_t size) override { dataSize = size; }
    void StampTime() override {
        timespec now{};
        ::clock_gettime(CLOCK_REALTIME, &now);
        tm utc{};
        ::gmtime_r(&now.tv_sec, &utc);
        time.wYear = static_cast<uint16_t>(utc.tm_year + 1900);
        time.wMonth = static_cast<uint16_t>(utc.tm_mon + 1);
        time.wDayOfWeek = static_cast<uint16_t>(utc.tm_wday);
        time.wDay = static_cast<uint16_t>(utc.tm_mday);
        time.wHour = static_cast<uint16_t>(utc.tm_hour);
        time.wMinute = static_cast<uint16_t>(utc.tm_min);
        time.wSecond = static_cast<uint16_t>(utc.tm_sec);
        time.wMilliseconds = static_cast<uint16_t>(now.tv_nsec / 1000000);
    }
    void SetTime(const SYSTEMTIME* t) override { time = *t; }
    void GetTime(SYSTEMTIME* t) override { *t = time; }
    void Reserved8() override { zarntest::ReportUnexpectedSlot("IHostFrame slot 8"); }
    uint32_t GetFourCC() override { return fourcc; }
    void SetFourCC(uint32_t value) override { fourcc = value; }
    uint32_t GetHeight() override { return height; }
    void SetHeight(uint32_t value) override { height = value; }
    uint32_t GetWidth() override { return width; }
    void SetWidth(uint32_t value) override { width = value; }
    uint32_t GetSizeClass() override { return sizeClass; }
    void SetSizeClass(uint32_t value) override { sizeClass = value; }

    std::unique_ptr<uint8_t[]> buffer;
    uint32_t capacity = 0;
    uint32_t dataSize = 0;
    uint32_t fourcc = 0;
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t sizeClass = 0;
    SYSTEMTIME time{};
};

// The frames of one channel: released frames go back to the pool; a frame that is too small for
// the next picture grows (its old contents are not kept: the driver fills it after allocating).
class PoolAllocator final : public talvane::IFrameAllocator {
public:
    ZARN_IMPLEMENT_SLOT0(PoolAllocator)
    void Reserved1() override { zarntest::ReportUnexpectedSlot("IFrameAllocator slot 1"); }
    talvane::IHostFrame* AllocateFrame(uint32_t fourcc, uint32_t capacity, const char*) override {
        std::lock_guard lock(mutex_);
        PoolFrame* frame = nullptr;
        if (free_.empty()) {
            frames_.push_back(std::make_unique<PoolFrame>());
            frame = frames_.back().get();
        } else {
            frame = free_.back();
            free_.pop_back();
        }
        if (frame->capacity < capacity) {
            frame->buffer.reset(new uint8_t[capacity]);
            frame->capacity = capacity;
        }
        frame->fourcc = fourcc;
        frame->dataSize = 0;
        ++outstanding_;
        return frame;
    }
    void Reserved3() override { zarntest::ReportUnexpectedSlot("IFrameAllocator slot 3"); }
    void Reserved4() override { zarntest::ReportUnexpectedSlot("IFrameAllocator slot 4"); }
    void Reserved5() override { zarntest::ReportUnexpectedSlot("IFrameAllocator slot 5"); }
    void ReleaseFrame(talvane::IHostFrame* frame) override {
        std::lock_guard lock(mutex_);
        for (const auto& owned : frames_) {
            if (owned.get() == frame) {
                free_.push_back(owned.get());
                --outstanding_;
                return;
            }
        }
        zarntest::ReportUnexpectedSlot("ReleaseFrame of a frame the pool did not hand out");
    }
    // Bytes of frame buffers the pool holds (the host's memory, not the driver's).
    uint64_t BufferBytes() {
        std::lock_guard lock(mutex_);
        uint64_t bytes = 0;
        for (const auto& frame : frames_) bytes += frame->capacity;
        return bytes;
    }
    size_t Outstanding() {
        std::lock_guard lock(mutex_);
        return outstanding_;
    }

private:
    std::mutex mutex_;
    std::vector<std::unique_ptr<PoolFrame>> frames_;
    std::vector<PoolFrame*> free_;
    size_t outstanding_ = 0;
};

class CountingSink final : public talvane::IChannelSink {
public:
    ZARN_IMPLEMENT_SLOT0(CountingSink)
    bool OnFrame(talvane::IHostFrame* frame) override {
        bytes.fetch_add(frame->GetDataSize(), std::memory_order_relaxed);
        frames.fetch_add(1, std::memory_order_release);
        return true;
    }
    void Reserved2() override { zarntest::ReportUnexpectedSlot("IChannelSink slot 2"); }
    void OnSignalLost() override { losses.fetch_add(1, std::memory_order_relaxed); }

    std::atomic<uint64_t> frames{0};
    std::atomic<uint64_t> bytes{0};
    std::atomic<uint64_t> losses{0};
};

// The host's log: counts failures, and any record that would carry the password.
class CountingLog final : public talvane::IHostDebugSink {
public:
    ZARN_IMPLEMENT_SLOT0(CountingLog)
    void Output(const talvane::CDebugInfoIf* record) override {
        ++records;
        if (record->GetLevel() == 1) ++failures;
        const char* text = record->GetText();
        if (text != nullptr && std::strstr(text, kPassword) != nullptr) ++secrets;
    }
    std::atomic<uint64_t> records{0};
    std::atomic<uint64_t> failures{0};
    std::atomic<uint64_t> secrets{0};
};

struct Channel {
    std::unique_ptr<zarncam::Camera> camera;
    CountingLog log;
    PoolAllocator allocator;
    zarntest::FakeDriverConfig config;
    zarntest::FakeStreamSettings settings{kWidth, kHeight, kPeriodMs, kQuality};
    CountingSink sink;
    talvane::ipcapture::IIPCaptureDriverEx3* driver = nullptr;
    talvane::ipcapture::IIPVideoCapture* capture = nullptr;
};

// ----- one channel count ------------------------------------------------------------------------

struct Result {
    int channels = 0;
    std::string load;   // load average when the count started
    std::string error;  // empty: measured
    double window = 0;
    double firstFramesSeconds = 0;  // from the first StartChannel to every channel's first frame
    // The driver.
    double cpuSeconds = 0;
    uint64_t delivered = 0;  // frames delivered in the CPU window
    zarnbench::CpuCost cost;
    uint64_t sent = 0;             // frames the cameras sent, paired readings
    uint64_t deliveredPaired = 0;  // frames the channels delivered, paired readings
    zarnbench::LossFigures lost;
    uint64_t signalLosses = 0;
    double kbitPerStream = 0;
    Resources before;
    Resources with;
    double hostFrameKiB = 0;  // the host's frame pool, per channel
    double slowestStopMs = 0;
    double slowestCloseMs = 0;
    uint64_t logFailures = 0;
    uint64_t secrets = 0;
    std::string streamRequest;  // what the driver's stream request looked like at the camera
    std::string encoder;        // the encoder settings its streams ran with
    // The reference.
    bool curlRan = false;
    std::string curlError;
    double curlWindow = 0;
    double curlCpuSeconds = 0;
    uint64_t curlFrames = 0;
    zarnbench::CpuCost curlCost;
    double curlLifeCpuSeconds = 0;  // whole life, start-up included, from wait4
    double curlRssKiB = 0;          // mean per process
    int curlAccepted = 0;           // stream requests the cameras answered with 200
    bool curlSameEncoder = false;
    std::optional<double> ratioPerStream;
    std::optional<double> ratioPerFrame;
    // Wake-ups (voluntary context switches) per frame: the driver's process in its window, and
    // curl's processes in theirs.
    std::optional<double> wakeupsPerFrame;
    std::optional<double> curlWakeupsPerFrame;
    // The floor receiver on the same cameras, same window length.
    bool floorRan = false;
    std::string floorError;
    double floorWindow = 0;
    double floorCpuSeconds = 0;
    uint64_t floorFrames = 0;  // delivered in the window
    uint64_t floorSent = 0;    // the cameras' frames sent in the window
    zarnbench::CpuCost floorCost;
    std::optional<double> floorWakeupsPerFrame;
    std::optional<double> floorReadsPerFrame;
    std::optional<double> floorRatio;  // driver / floor, CPU per frame
};

struct Setup {
    std::string zarncam;
    std::string curl;   // empty: no reference
    bool floor = true;  // the floor receiver runs after the driver
    std::chrono::milliseconds window{10000};
    ZarnCreateIPCaptureFn create = nullptr;
    ZarnDeleteIPCaptureFn destroy = nullptr;
    std::vector<std::unique_ptr<CameraServer>>* servers = nullptr;
};

std::string DescribeEncoder(const std::optional<zarncam::StreamConfig>& c) {
    if (!c) return "none";
    char text[96];
    std::snprintf(text, sizeof(text), "%dx%d %d fps, key every %d, %d kbit/s", c->width, c->height,
                  c->frameRate, c->iFrameInterval, c->bitRateKbps);
    return text;
}

bool SameEncoder(const std::optional<zarncam::StreamConfig>& a,
                 const std::optional<zarncam::StreamConfig>& b) {
    return a && b && a->width == b->width && a->height == b->height &&
           a->frameRate == b->frameRate && a->iFrameInterval == b->iFrameInterval &&
           a->bitRateKbps == b->bitRateKbps;
}

// Each camera's frames sent, and at once the channel's frames delivered.
std::vector<zarnbench::ChannelCounts> ReadPairs(std::vector<std::unique_ptr<Channel>>& channels) {
    std::vector<zarnbench::ChannelCounts> pairs;
    for (auto& c : channels) {
        zarnbench::ChannelCounts p;
        p.sent = c->camera->GetStats().framesSent;
        p.delivered = c->sink.frames.load(std::memory_order_acquire);
        pairs.push_back(p);
    }
    return pairs;
}

uint64_t DeliveredNow(std::vector<std::unique_ptr<Channel>>& channels) {
    uint64_t frames = 0;
    for (auto& c : channels) frames += c->sink.frames.load(std::memory_order_acquire);
    return frames;
}

// Voluntary context switches of process `pid` (0: this one) per frame between two readings.
std::optional<double> WakeupsPerFrame(const std::optional<zarnbench::ContextSwitches>& start,
                                      const std::optional<zarnbench::ContextSwitches>& end,
                                      uint64_t frames) {
    if (!start || !end || frames == 0 || end->voluntary < start->voluntary) return std::nullopt;
    return static_cast<double>(end->voluntary - start->voluntary) / static_cast<double>(frames);
}

// The floor: the same cameras received by FloorReceiver's plain threads in this process (the
// drivers are gone by then, so the process's CPU time is the floor's), for the same window.
void RunFloor(const Setup& setup, std::vector<std::unique_ptr<Channel>>& channels, Result& r) {
    r.floorRan = true;
    std::vector<uint64_t> startedBefore;
    std::vector<uint16_t> ports;
    for (auto& c : channels) {
        startedBefore.push_back(c->camera->GetStats().streamsStarted);
        ports.push_back(c->camera->Port());
    }
    zarnbench::FloorReceiver floor;
    const std::string credentials = zarncam::Base64Encode(std::string(kUser) + ":" + kPassword);
    if (!floor.Start(ports, credentials, kPeriodMs)) {
        r.floorError = "the floor's threads could not start";
        return;
    }
    const auto deadline = Clock::now() + kCurlStartBound;
    bool streaming = true;
    for (size_t i = 0; streaming && i < channels.size(); ++i) {
        streaming = channels[i]->camera->WaitForStats(
            [&](const zarncam::Stats& s) { return s.streamsStarted > startedBefore[i]; },
            std::chrono::duration_cast<std::chrono::milliseconds>(
                std::max<Clock::duration>(deadline - Clock::now(), 0s)));
    }
    while (streaming && floor.Frames() < channels.size() && Clock::now() < deadline) {
        std::this_thread::sleep_for(20ms);
    }
    if (!streaming || floor.Failed() > 0) {
        r.floorError = "not every camera streamed to the floor";
        return;
    }
    std::this_thread::sleep_for(kCurlWarmUp);
    std::vector<uint64_t> sentStart;
    for (auto& c : channels) sentStart.push_back(c->camera->GetStats().framesSent);
    const uint64_t framesStart = floor.Frames();
    const uint64_t readsStart = floor.Reads();
    const auto switchesStart = zarnbench::ProcessContextSwitches(0);
    const double cpuStart = RusageSeconds();
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(setup.window);
    const double cpuEnd = RusageSeconds();
    const auto switchesEnd = zarnbench::ProcessContextSwitches(0);
    const uint64_t framesEnd = floor.Frames();
    const uint64_t readsEnd = floor.Reads();
    r.floorWindow = Seconds(Clock::now() - t0);
    for (size_t i = 0; i < channels.size(); ++i) {
        r.floorSent += channels[i]->camera->GetStats().framesSent - sentStart[i];
    }
    r.floorCpuSeconds = cpuEnd - cpuStart;
    r.floorFrames = framesEnd - framesStart;
    r.floorCost =
        zarnbench::CostOf(r.floorCpuSeconds, r.floorFrames, channels.size(), r.floorWindow);
    r.floorWakeupsPerFrame = WakeupsPerFrame(switchesStart, switchesEnd, r.floorFrames);
    if (r.floorFrames > 0) {
        r.floorReadsPerFrame =
            static_cast<double>(readsEnd - readsStart) / static_cast<double>(r.floorFrames);
    }
    if (floor.Failed() > 0) r.floorError = "a floor stream ended during the window";
    floor.Stop();
}

// Starts `curl -s -o /dev/null -K - URL`; the credentials go through its standard input as a
// config line, so that they never appear on a command line. -1 when it cannot start.
pid_t StartCurl(const std::string& curl, const std::string& url) {
    int in[2];
    if (::pipe2(in, O_CLOEXEC) != 0) return -1;
    const pid_t pid = ::fork();
    if (pid < 0) {
        ::close(in[0]);
        ::close(in[1]);
        return -1;
    }
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        ::dup2(in[0], STDIN_FILENO);
        const int null = ::open("/dev/null", O_WRONLY);
        if (null >= 0) ::dup2(null, STDERR_FILENO);
        ::execl(curl.c_str(), curl.c_str(), "-s", "-o", "/dev/null", "-K", "-", url.c_str(),
                static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(in[0]);
    // Quotes and backslashes would need escaping in curl's config syntax; the password has none.
    const std::string config = std::string("user = \"") + kUser + ":" + kPassword + "\"\n";
    const ssize_t written = ::write(in[1], config.data(), config.size());
    ::close(in[1]);
    if (written != static_cast<ssize_t>(config.size())) {
        EndChild(pid, nullptr);
        return -1;
    }
    return pid;
}

// The sum of two readings; nullopt when either is missing.
std::optional<zarnbench::ContextSwitches> AddSwitches(
    const std::optional<zarnbench::ContextSwitches>& a,
    const std::optional<zarnbench::ContextSwitches>& b) {
    if (!a || !b) return std::nullopt;
    return zarnbench::ContextSwitches{a->voluntary + b->voluntary, a->involuntary + b->involuntary};
}

// The reference: curl receives the streams of the same cameras for the same window.
void RunReference(const Setup& setup, std::vector<std::unique_ptr<Channel>>& channels,
                  const std::optional<zarncam::StreamConfig>& driverEncoder, Result& r) {
    r.curlRan = true;
    std::vector<uint64_t> startedBefore;
    for (auto& c : channels) {
        c->camera->ClearRequests();
        startedBefore.push_back(c->camera->GetStats().streamsStarted);
    }
    std::vector<pid_t> pids;
    for (auto& c : channels) {
        const pid_t pid = StartCurl(setup.curl, c->camera->Url() + "/cgi-bin/video_post.cgi");
        if (pid < 0) {
            r.curlError = "curl could not be started";
            break;
        }
        pids.push_back(pid);
    }
    // Every camera streaming to its curl, then a moment for the processes to settle.
    const auto deadline = Clock::now() + kCurlStartBound;
    bool streaming = r.curlError.empty();
    for (size_t i = 0; streaming && i < channels.size(); ++i) {
        streaming = channels[i]->camera->WaitForStats(
            [&](const zarncam::Stats& s) { return s.streamsStarted > startedBefore[i]; },
            std::chrono::duration_cast<std::chrono::milliseconds>(
                std::max<Clock::duration>(deadline - Clock::now(), 0s)));
    }
    if (!streaming && r.curlError.empty()) r.curlError = "not every camera streamed to curl";
    if (r.curlError.empty()) {
        std::this_thread::sleep_for(kCurlWarmUp);
        std::vector<uint64_t> sentStart;
        for (auto& c : channels) sentStart.push_back(c->camera->GetStats().framesSent);
        std::vector<double> cpuStart;
        std::optional<zarnbench::ContextSwitches> switchesStart = zarnbench::ContextSwitches{};
        for (const pid_t pid : pids) {
            cpuStart.push_back(zarnbench::ProcessCpuSeconds(pid).value_or(-1));
            switchesStart = AddSwitches(switchesStart, zarnbench::ProcessContextSwitches(pid));
        }
        const auto t0 = Clock::now();
        std::this_thread::sleep_for(setup.window);
        std::vector<double> cpuEnd;
        std::optional<zarnbench::ContextSwitches> switchesEnd = zarnbench::ContextSwitches{};
        for (const pid_t pid : pids) {
            cpuEnd.push_back(zarnbench::ProcessCpuSeconds(pid).value_or(-1));
            switchesEnd = AddSwitches(switchesEnd, zarnbench::ProcessContextSwitches(pid));
        }
        r.curlWindow = Seconds(Clock::now() - t0);
        for (size_t i = 0; i < channels.size(); ++i) {
            r.curlFrames += channels[i]->camera->GetStats().framesSent - sentStart[i];
        }
        double rss = 0;
        for (size_t i = 0; i < pids.size(); ++i) {
            if (cpuStart[i] < 0 || cpuEnd[i] < 0) {
                r.curlError = "a curl process ended during the window";
                continue;
            }
            r.curlCpuSeconds += cpuEnd[i] - cpuStart[i];
            const auto status =
                zarnbench::ReadProcFile("/proc/" + std::to_string(pids[i]) + "/status");
            rss += static_cast<double>(status ? zarnbench::StatusValue(*status, "VmRSS").value_or(0)
                                              : 0);
        }
        r.curlRssKiB = pids.empty() ? 0 : rss / static_cast<double>(pids.size());
        r.curlCost =
            zarnbench::CostOf(r.curlCpuSeconds, r.curlFrames, channels.size(), r.curlWindow);
        r.curlWakeupsPerFrame = WakeupsPerFrame(switchesStart, switchesEnd, r.curlFrames);
    }
    for (const pid_t pid : pids) {
        rusage usage{};
        EndChild(pid, &usage);
        r.curlLifeCpuSeconds +=
            static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
            static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
    }
    // The cameras accepted curl's requests, and served it what they served the driver.
    bool same = true;
    for (auto& c : channels) {
        for (const auto& record : c->camera->Requests()) {
            if (record.Path() == "/cgi-bin/video_post.cgi" && record.status == 200)
                ++r.curlAccepted;
        }
        same = same && SameEncoder(c->camera->LastStreamConfig(), driverEncoder);
    }
    r.curlSameEncoder = same;
    if (r.curlError.empty() && r.curlAccepted < static_cast<int>(channels.size())) {
        r.curlError = "the cameras refused some of curl's requests";
    }
}

Result RunCount(const Setup& setup, int count) {
    Result r;
    r.channels = count;
    r.load = LoadAverage();
    const size_t n = static_cast<size_t>(count);

    // The cameras, 64 to a control server.
    std::vector<std::unique_ptr<Channel>> channels;
    for (size_t i = 0; i < n; ++i) {
        const size_t server = i / kCamerasPerServer;
        auto& servers = *setup.servers;
        while (servers.size() <= server) {
            auto s = std::make_unique<CameraServer>();
            std::string error;
            if (!s->Start(setup.zarncam, &error)) {
                r.error = error;
                return r;
            }
            servers.push_back(std::move(s));
        }
        ::setenv("ZARNCAM_CONTROL", servers[server]->Address().c_str(), 1);
        auto c = std::make_unique<Channel>();
        zarncam::Config config;
        config.user = kUser;
        config.password = kPassword;
        config.auth = {zarncam::AuthScheme::kBasic};
        config.loopSeconds = kLoopSeconds;
        c->camera = std::make_unique<zarncam::Camera>(config);
        if (!c->camera->Start()) {
            r.error = "camera " + std::to_string(i) + " did not start";
            return r;
        }
        c->config.network.address = "127.0.0.1";
        c->config.network.port = c->camera->Port();
        c->config.network.user = kUser;
        c->config.network.password = kPassword;
        channels.push_back(std::move(c));
    }

    r.before = Sample();
    const auto opened = Clock::now();
    bool started = true;
    for (auto& c : channels) {
        c->driver = setup.create();
        if (c->driver == nullptr || !c->driver->Open(&c->log, &c->allocator, &c->config) ||
            (c->capture = c->driver->GetVideoCapture()) == nullptr ||
            !c->capture->StartChannel(0, &c->sink, &c->settings)) {
            started = false;
            break;
        }
    }
    bool flowing = started;
    const auto deadline = Clock::now() + kFirstFrameBound;
    while (flowing) {
        bool all = true;
        for (auto& c : channels) all = all && c->sink.frames.load() > 0;
        if (all) break;
        if (Clock::now() >= deadline) flowing = false;
        std::this_thread::sleep_for(20ms);
    }
    r.firstFramesSeconds = Seconds(Clock::now() - opened);

    if (flowing) {
        // The window: pairs outside it, CPU and the frames it paid for exactly at its ends.
        const auto pairsStart = ReadPairs(channels);
        uint64_t lossesStart = 0;
        for (auto& c : channels) lossesStart += c->sink.losses.load();
        uint64_t bytesStart = 0;
        for (auto& c : channels) bytesStart += c->sink.bytes.load();
        const uint64_t deliveredStart = DeliveredNow(channels);
        const auto switchesStart = zarnbench::ProcessContextSwitches(0);
        const double cpuStart = RusageSeconds();
        const auto t0 = Clock::now();
        std::this_thread::sleep_for(setup.window);
        const double cpuEnd = RusageSeconds();
        const auto switchesEnd = zarnbench::ProcessContextSwitches(0);
        const uint64_t deliveredEnd = DeliveredNow(channels);
        r.window = Seconds(Clock::now() - t0);
        uint64_t bytesEnd = 0;
        for (auto& c : channels) bytesEnd += c->sink.bytes.load();
        const auto pairsEnd = ReadPairs(channels);
        uint64_t lossesEnd = 0;
        for (auto& c : channels) lossesEnd += c->sink.losses.load();

        r.cpuSeconds = cpuEnd - cpuStart;
        r.delivered = deliveredEnd - deliveredStart;
        r.cost = zarnbench::CostOf(r.cpuSeconds, r.delivered, n, r.window);
        r.wakeupsPerFrame = WakeupsPerFrame(switchesStart, switchesEnd, r.delivered);
        for (size_t i = 0; i < n; ++i) {
            r.sent += pairsEnd[i].sent - pairsStart[i].sent;
            r.deliveredPaired += pairsEnd[i].delivered - pairsStart[i].delivered;
        }
        r.lost = zarnbench::FramesLost(pairsStart, pairsEnd);
        r.signalLosses = lossesEnd - lossesStart;
        r.kbitPerStream = static_cast<double>(bytesEnd - bytesStart) * 8.0 / 1000.0 / r.window /
                          static_cast<double>(n);
        r.with = Sample();
        uint64_t pool = 0;
        for (auto& c : channels) pool += c->allocator.BufferBytes();
        r.hostFrameKiB = static_cast<double>(pool) / 1024.0 / static_cast<double>(n);
    } else {
        r.error = started ? "not every channel delivered a frame within 60 s"
                          : "a driver could not be opened or its channel started";
    }

    // Stop every channel, then close and delete every driver.
    for (auto& c : channels) {
        if (c->capture == nullptr) continue;
        const auto t = Clock::now();
        c->capture->StopChannel(0);
        r.slowestStopMs = std::max(r.slowestStopMs, Ms(Clock::now() - t));
    }
    for (auto& c : channels) {
        if (c->driver == nullptr) continue;
        const auto t = Clock::now();
        c->driver->Close();
        r.slowestCloseMs = std::max(r.slowestCloseMs, Ms(Clock::now() - t));
        setup.destroy(c->driver);
        c->driver = nullptr;
        c->capture = nullptr;
        r.logFailures += c->log.failures.load();
        r.secrets += c->log.secrets.load();
        if (c->allocator.Outstanding() != 0 && r.error.empty()) {
            r.error = "frames were never given back to the pool";
        }
    }

    // What the cameras saw of the driver: its stream request and the encoder settings it set.
    const auto driverEncoder = channels.front()->camera->LastStreamConfig();
    r.encoder = DescribeEncoder(driverEncoder);
    for (const auto& record : channels.front()->camera->Requests()) {
        if (record.Path() == "/cgi-bin/video_post.cgi") {
            r.streamRequest = record.method + " " + record.target + " (" +
                              zarncam::AuthSchemeName(record.auth) + ") -> " +
                              std::to_string(record.status);
        }
    }

    if (r.error.empty() && setup.floor) {
        RunFloor(setup, channels, r);
        r.floorRatio = zarnbench::Ratio(
            r.cost.microsecondsPerFrame,
            r.floorError.empty() ? r.floorCost.microsecondsPerFrame : std::nullopt);
    }
    if (r.error.empty() && !setup.curl.empty()) {
        RunReference(setup, channels, driverEncoder, r);
        r.ratioPerStream =
            zarnbench::Ratio(r.cost.secondsPerStreamHour,
                             r.curlError.empty() ? r.curlCost.secondsPerStreamHour : std::nullopt);
        r.ratioPerFrame =
            zarnbench::Ratio(r.cost.microsecondsPerFrame,
                             r.curlError.empty() ? r.curlCost.microsecondsPerFrame : std::nullopt);
    }
    for (auto& c : channels) c->camera->Stop();
    return r;
}

// ----- the table --------------------------------------------------------------------------------

std::string Fixed(std::optional<double> value, int decimals) {
    if (!value) return "-";
    char text[32];
    std::snprintf(text, sizeof(text), "%.*f", decimals, *value);
    return text;
}

std::string Row(const std::string& name, const std::vector<std::string>& cells,
                const std::string& goal) {
    char text[64];
    std::snprintf(text, sizeof(text), "%-44s", name.c_str());
    std::string line = text;
    for (const auto& cell : cells) {
        std::snprintf(text, sizeof(text), " %12s", cell.c_str());
        line += text;
    }
    if (!goal.empty()) line += "   " + goal;
    return line;
}

template <class F>
std::vector<std::string> Cells(const std::vector<Result>& results, F&& cell) {
    std::vector<std::string> cells;
    for (const Result& r : results) cells.push_back(r.error.empty() ? cell(r) : "failed");
    return cells;
}

std::string Table(const std::vector<Result>& results) {
    std::vector<std::string> lines;
    std::vector<std::string> heads;
    for (const Result& r : results) heads.push_back(std::to_string(r.channels) + " ch");
    lines.push_back(Row("channels", heads, "goal (64 channels)"));
    lines.push_back(std::string(44 + 13 * results.size() + 22, '-'));
    auto integer = [](uint64_t v) { return std::to_string(v); };
    auto signedInt = [](int64_t v) { return std::to_string(v); };
    lines.push_back(
        Row("window (s)", Cells(results, [](const Result& r) { return Fixed(r.window, 1); }), ""));
    lines.push_back(Row(
        "load average (1 min) at the start",
        Cells(results, [](const Result& r) { return r.load.substr(0, r.load.find(' ')); }), ""));
    lines.push_back(Row(
        "driver CPU per delivered frame (us)",
        Cells(results, [](const Result& r) { return Fixed(r.cost.microsecondsPerFrame, 2); }), ""));
    lines.push_back(Row(
        "driver CPU per stream-hour (CPU s)",
        Cells(results, [](const Result& r) { return Fixed(r.cost.secondsPerStreamHour, 2); }), ""));
    lines.push_back(Row("driver CPU, % of one core for all streams",
                        Cells(results,
                              [](const Result& r) {
                                  return Fixed(r.window > 0 ? r.cpuSeconds / r.window * 100 : 0, 2);
                              }),
                        ""));
    lines.push_back(Row("driver wake-ups per frame",
                        Cells(results, [](const Result& r) { return Fixed(r.wakeupsPerFrame, 2); }),
                        ""));
    auto floorCell = [](auto&& cell) {
        return [cell](const Result& r) -> std::string {
            return r.floorRan && r.floorError.empty() ? cell(r) : "-";
        };
    };
    lines.push_back(Row("floor CPU per delivered frame (us)",
                        Cells(results, floorCell([](const Result& r) {
                                  return Fixed(r.floorCost.microsecondsPerFrame, 2);
                              })),
                        ""));
    lines.push_back(Row(
        "floor wake-ups per frame",
        Cells(results, floorCell([](const Result& r) { return Fixed(r.floorWakeupsPerFrame, 2); })),
        ""));
    lines.push_back(Row("floor reads per frame", Cells(results, floorCell([](const Result& r) {
                                                           return Fixed(r.floorReadsPerFrame, 2);
                                                       })),
                        ""));
    lines.push_back(Row("floor frames delivered / camera frames sent",
                        Cells(results, floorCell([](const Result& r) {
                                  return std::to_string(r.floorFrames) + "/" +
                                         std::to_string(r.floorSent);
                              })),
                        ""));
    lines.push_back(Row("driver / floor per frame",
                        Cells(results, [](const Result& r) { return Fixed(r.floorRatio, 3); }),
                        "<= 1.25 (16 ch: <= 1.5)"));
    lines.push_back(Row("curl CPU per received frame (us)",
                        Cells(results,
                              [](const Result& r) {
                                  return r.curlRan && r.curlError.empty()
                                             ? Fixed(r.curlCost.microsecondsPerFrame, 2)
                                             : "-";
                              }),
                        ""));
    lines.push_back(Row("curl CPU per stream-hour (CPU s)",
                        Cells(results,
                              [](const Result& r) {
                                  return r.curlRan && r.curlError.empty()
                                             ? Fixed(r.curlCost.secondsPerStreamHour, 2)
                                             : "-";
                              }),
                        ""));
    lines.push_back(
        Row("curl wake-ups per frame",
            Cells(results, [](const Result& r) { return Fixed(r.curlWakeupsPerFrame, 2); }), ""));
    lines.push_back(Row("driver / curl per stream",
                        Cells(results, [](const Result& r) { return Fixed(r.ratioPerStream, 3); }),
                        "<= 0.5"));
    lines.push_back(Row("driver / curl per frame",
                        Cells(results, [](const Result& r) { return Fixed(r.ratioPerFrame, 3); }),
                        ""));
    lines.push_back(
        Row("resident memory per channel (KiB)",
            Cells(results,
                  [](const Result& r) {
                      return Fixed(
                          static_cast<double>(r.with.rssKiB - r.before.rssKiB) / r.channels, 1);
                  }),
            "< 256"));
    lines.push_back(Row("  of it the host's frame pool (KiB)",
                        Cells(results, [](const Result& r) { return Fixed(r.hostFrameKiB, 1); }),
                        ""));
    lines.push_back(Row("resident memory before / with (MiB)",
                        Cells(results,
                              [](const Result& r) {
                                  return Fixed(r.before.rssKiB / 1024.0, 1) + "/" +
                                         Fixed(r.with.rssKiB / 1024.0, 1);
                              }),
                        ""));
    lines.push_back(Row("threads of the process (before -> with)",
                        Cells(results,
                              [](const Result& r) {
                                  return std::to_string(r.before.threads) + "->" +
                                         std::to_string(r.with.threads);
                              }),
                        ""));
    lines.push_back(
        Row("threads per channel",
            Cells(results,
                  [](const Result& r) {
                      return Fixed(
                          static_cast<double>(r.with.threads - r.before.threads) / r.channels, 2);
                  }),
            "1"));
    lines.push_back(Row("frames delivered in the CPU window",
                        Cells(results, [&](const Result& r) { return integer(r.delivered); }), ""));
    // The readings that pair each camera with its channel open a little before the CPU window and
    // close a little after it.
    lines.push_back(Row(
        "frames sent / delivered, paired readings",
        Cells(results,
              [&](const Result& r) { return integer(r.sent) + "/" + integer(r.deliveredPaired); }),
        ""));
    lines.push_back(Row("frames lost (sent - delivered)",
                        Cells(results, [&](const Result& r) { return signedInt(r.lost.total); }),
                        "0"));
    lines.push_back(Row("  per channel, fewest .. most",
                        Cells(results,
                              [&](const Result& r) {
                                  return signedInt(r.lost.fewest) + ".." + signedInt(r.lost.most);
                              }),
                        ""));
    lines.push_back(Row("signal-loss notices in the window",
                        Cells(results, [&](const Result& r) { return integer(r.signalLosses); }),
                        "0"));
    lines.push_back(Row("delivered kbit/s per stream",
                        Cells(results, [](const Result& r) { return Fixed(r.kbitPerStream, 0); }),
                        ""));
    lines.push_back(
        Row("first frame of every channel after (s)",
            Cells(results, [](const Result& r) { return Fixed(r.firstFramesSeconds, 2); }), ""));
    lines.push_back(Row("slowest StopChannel, streaming (ms)",
                        Cells(results, [](const Result& r) { return Fixed(r.slowestStopMs, 2); }),
                        "< 100"));
    lines.push_back(Row("slowest Close after the stop (ms)",
                        Cells(results, [](const Result& r) { return Fixed(r.slowestCloseMs, 2); }),
                        ""));
    lines.push_back(Row("curl resident memory per process (KiB)",
                        Cells(results,
                              [](const Result& r) {
                                  return r.curlRan && r.curlError.empty() ? Fixed(r.curlRssKiB, 0)
                                                                          : "-";
                              }),
                        ""));
    lines.push_back(Row("curl CPU over the whole life, per stream (s)",
                        Cells(results,
                              [](const Result& r) {
                                  return r.curlRan ? Fixed(r.curlLifeCpuSeconds / r.channels, 3)
                                                   : "-";
                              }),
                        ""));
    std::string text;
    for (const auto& line : lines) text += line + "\n";
    return text;
}

// The goals, judged on 64 channels (or, without them, on the largest count that ran).
std::string Verdicts(const std::vector<Result>& results) {
    const Result* judged = nullptr;
    for (const Result& r : results) {
        if (!r.error.empty()) continue;
        if (judged == nullptr || r.channels == 64 ||
            (judged->channels != 64 && r.channels > judged->channels)) {
            judged = &r;
        }
    }
    if (judged == nullptr) return "goals: no count was measured\n";
    const Result& r = *judged;
    std::string text = "goals, judged on " + std::to_string(r.channels) + " channels:\n";
    auto verdict = [&](const std::string& what, std::optional<bool> met) {
        text += "  " +
                std::string(!met   ? "n/a   "
                            : *met ? "met   "
                                   : "MISSED") +
                "  " + what + "\n";
    };
    auto floorVerdict = [&](const Result& of, double most) {
        char bound[16];
        std::snprintf(bound, sizeof(bound), "%.2f", most);
        verdict("driver CPU per frame <= " + std::string(bound) + "x the floor's on " +
                    std::to_string(of.channels) + " channels (" + Fixed(of.floorRatio, 3) + ")",
                of.floorRatio ? std::optional<bool>(*of.floorRatio <= most) : std::nullopt);
    };
    floorVerdict(r, r.channels == 64 ? 1.25 : 1.5);
    for (const Result& other : results) {
        if (other.channels == 16 && &other != &r && other.error.empty()) floorVerdict(other, 1.5);
    }
    verdict("driver CPU per stream <= half of curl's (" + Fixed(r.ratioPerStream, 3) + ")",
            r.ratioPerStream ? std::optional<bool>(*r.ratioPerStream <= 0.5) : std::nullopt);
    const double memory = static_cast<double>(r.with.rssKiB - r.before.rssKiB) / r.channels;
    verdict("resident memory < 256 KiB per channel (" + Fixed(memory, 1) + ")", memory < 256);
    const long threads = r.with.threads - r.before.threads;
    verdict("one thread per channel (" + std::to_string(threads) + " for " +
                std::to_string(r.channels) + ")",
            threads <= r.channels);
    // A reading pairs a camera's count with its channel's, so each channel may be off by the one
    // frame in flight at either end of the window; a lost frame shows as more than that.
    verdict("no frame lost: every channel within one frame of its camera, no signal loss (" +
                std::to_string(r.lost.fewest) + ".." + std::to_string(r.lost.most) +
                " per channel, " + std::to_string(r.signalLosses) + " signal losses)",
            r.lost.most <= 1 && r.signalLosses == 0);
    verdict("StopChannel < 100 ms while streaming (" + Fixed(r.slowestStopMs, 2) + ")",
            r.slowestStopMs < 100);
    return text;
}

int Usage() {
    std::fprintf(stderr,
                 "usage: many_bench [--channels 1,16,64] [--seconds W] [--report FILE] "
                 "[--zarncam PATH] [--curl PATH] [--no-curl] [--no-floor]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::string zarncam = ZARNCAM_PATH;
    std::string curl = "curl";
    std::string report = std::string(ZARN_BUILD_DIR) + "/many-bench.txt";
    const char* countsText = std::getenv("MANY_BENCH_CHANNELS");
    std::string counts = countsText != nullptr && *countsText != '\0' ? countsText : "1,16,64";
    const char* secondsText = std::getenv("MANY_BENCH_SECONDS");
    std::string seconds = secondsText != nullptr && *secondsText != '\0' ? secondsText : "10";
    bool reference = true;
    bool floor = true;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--no-curl") {
            reference = false;
            continue;
        }
        if (option == "--no-floor") {
            floor = false;
            continue;
        }
        if (i + 1 >= argc) return Usage();
        const std::string value = argv[++i];
        if (option == "--channels") {
            counts = value;
        } else if (option == "--seconds") {
            seconds = value;
        } else if (option == "--report") {
            report = value;
        } else if (option == "--zarncam") {
            zarncam = value;
        } else if (option == "--curl") {
            curl = value;
        } else {
            return Usage();
        }
    }
    const auto channelCounts = zarnbench::ParseCounts(counts, kMostChannels);
    const double windowSeconds = std::atof(seconds.c_str());
    if (!channelCounts || !(windowSeconds >= 1 && windowSeconds <= 3600)) {
        std::fprintf(stderr,
                     "many_bench: channel counts are 1..%d separated by commas, the window "
                     "1..3600 s\n",
                     kMostChannels);
        return Usage();
    }

    Setup setup;
    setup.zarncam = zarncam;
    setup.floor = floor;
    setup.window = std::chrono::milliseconds(static_cast<long>(windowSeconds * 1000));
    if (reference) {
        setup.curl = FindProgram(curl);
        if (setup.curl.empty()) {
            std::fprintf(stderr, "many_bench: no curl (%s); the reference is left out\n",
                         curl.c_str());
        }
    }
    std::vector<std::unique_ptr<CameraServer>> servers;
    setup.servers = &servers;
    ::signal(SIGPIPE, SIG_IGN);
    {
        // The first control server before this process has any thread.
        auto first = std::make_unique<CameraServer>();
        std::string error;
        if (!first->Start(zarncam, &error)) {
            std::fprintf(stderr, "many_bench: %s\n", error.c_str());
            return 2;
        }
        servers.push_back(std::move(first));
    }
    zarntest::DriverModule module;
    if (!module.Loaded()) {
        std::fprintf(stderr, "many_bench: cannot load the driver: %s\n", module.Error().c_str());
        return 2;
    }
    setup.create = module.Function<ZarnCreateIPCaptureFn>("CreateIPCapture");
    setup.destroy = module.Function<ZarnDeleteIPCaptureFn>("DeleteIPCapture");
    if (setup.create == nullptr || setup.destroy == nullptr) {
        std::fprintf(stderr, "many_bench: the driver lacks its exports\n");
        return 2;
    }

    std::string command;
    for (int i = 0; i < argc; ++i) command += (i > 0 ? " " : "") + std::string(argv[i]);
    utsname system{};
    ::uname(&system);
    std::string head;
    head += "many_bench: " + std::to_string(channelCounts->size()) +
            " channel counts, 704x576 every 40 ms at quality 20 (the driver asks for 1228 kbit/s), "
            "looped camera streams in zarncam control processes\n";
    head += "  date     " + UtcNow() + "\n";
    head += "  machine  " + std::to_string(std::thread::hardware_concurrency()) + " CPUs, " +
            CpuModel() + ", Linux " + system.release + "\n";
    head += "  command  " + command + " (channels " + counts + ", window " + seconds + " s)\n";
    head += "  load     " + LoadAverage() + " at the start\n";
    std::printf("%s", head.c_str());
    std::fflush(stdout);

    // The first channel of a process pays for what is set up once (the HTTP library, the C
    // library's heap for a new thread, code and data pages touched for the first time): a warm-up
    // channel carries that, so that every count measures only what each further channel costs.
    std::string details;
    {
        Setup warmUp = setup;
        warmUp.window = 1s;
        warmUp.curl.clear();
        warmUp.floor = false;
        const Result w = RunCount(warmUp, 1);
        char line[256];
        std::snprintf(line, sizeof(line),
                      "  warm-up: 1 channel for 1 s, %s; one-time resident memory of the first "
                      "channel %ld KiB\n",
                      w.error.empty() ? "measured" : ("failed: " + w.error).c_str(),
                      w.with.rssKiB - w.before.rssKiB);
        std::printf("%s", line);
        details += line;
    }
    std::vector<Result> results;
    for (const int count : *channelCounts) {
        std::printf("  %d channels ...\n", count);
        std::fflush(stdout);
        Result r = RunCount(setup, count);
        char line[512];
        std::snprintf(line, sizeof(line),
                      "  %d channels: load %s; driver stream request %s; encoder %s; driver CPU "
                      "%.3f s for %llu frames in %.2f s; log failures %llu%s\n",
                      count, r.load.c_str(),
                      r.streamRequest.empty() ? "none" : r.streamRequest.c_str(), r.encoder.c_str(),
                      r.cpuSeconds, static_cast<unsigned long long>(r.delivered), r.window,
                      static_cast<unsigned long long>(r.logFailures),
                      r.secrets > 0 ? "; THE PASSWORD APPEARED IN THE LOG" : "");
        std::string detail = line;
        if (!r.error.empty()) detail += "    failed: " + r.error + "\n";
        if (r.floorRan) {
            std::snprintf(
                line, sizeof(line),
                "    floor: %.3f s CPU for %llu frames in %.2f s (cameras sent %llu)%s%s\n",
                r.floorCpuSeconds, static_cast<unsigned long long>(r.floorFrames), r.floorWindow,
                static_cast<unsigned long long>(r.floorSent), r.floorError.empty() ? "" : "; ",
                r.floorError.c_str());
            detail += line;
        }
        if (r.curlRan) {
            std::snprintf(line, sizeof(line),
                          "    curl: %.3f s CPU for %llu camera frames in %.2f s, %d stream "
                          "requests accepted, same encoder settings as the driver's: %s%s%s\n",
                          r.curlCpuSeconds, static_cast<unsigned long long>(r.curlFrames),
                          r.curlWindow, r.curlAccepted, r.curlSameEncoder ? "yes" : "NO",
                          r.curlError.empty() ? "" : "; ", r.curlError.c_str());
            detail += line;
        }
        std::printf("%s", detail.c_str());
        std::fflush(stdout);
        details += detail;
        results.push_back(std::move(r));
    }

    const std::string table = Table(results) + "\n" + Verdicts(results);
    std::printf("\n%s", table.c_str());
    if (!report.empty()) {
        std::ofstream out(report);
        out << head << details << "\n" << table;
        if (!out) std::fprintf(stderr, "many_bench: cannot write %s\n", report.c_str());
    }
    bool failed = false;
    for (const Result& r : results) failed = failed || !r.error.empty() || r.secrets > 0;
    return failed ? 1 : 0;
}
