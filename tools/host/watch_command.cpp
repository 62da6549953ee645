#include "watch_command.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <deque>
#include <fstream>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "driver_session.h"
#include "exit_status.h"
#include "interrupt.h"
#include "support/fake_host.h"

namespace zarnhost {

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kLogLinesShown = 10;
// Rates are taken over this window of refreshes.
constexpr auto kRateWindow = std::chrono::seconds(3);

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

std::string Fixed(double value, int decimals) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, value);
    return buf;
}

std::string Pad(std::string text, size_t width, bool right = false) {
    if (text.size() >= width) return text;
    const std::string fill(width - text.size(), ' ');
    return right ? fill + text : text + fill;
}

// What one camera's channel thread reports, read by the main thread.
struct Counters {
    uint64_t frames = 0;
    uint64_t keyFrames = 0;
    uint64_t bytes = 0;
    uint32_t width = 0;
    uint32_t height = 0;
    Clock::time_point firstFrame{};
    Clock::time_point lastFrame{};
};

struct Sample {
    Clock::time_point at;
    uint64_t frames;
    uint64_t bytes;
};

// One watched camera: its host objects, its driver and what the table shows of it. The sink and
// the stream settings are declared before the session, so the driver is closed before they go.
struct WatchedCamera {
    CameraTarget target;
    zarntest::FakeChannelSink sink;
    std::unique_ptr<zarntest::FakeStreamSettings> settings;
    std::unique_ptr<DriverSession> session;
    talvane::ipcapture::IIPVideoCapture* video = nullptr;
    bool channelStarted = false;
    bool stopped = false;
    std::atomic<bool> stopping{false};  // from here on failures are the stop's own

    mutable std::mutex mutex;  // guards counters and firstError
    Counters counters;
    std::string firstError;

    // Main thread only.
    std::deque<Sample> samples;
    std::string state = "starting";
    double fps = 0.0;
    double kbps = 0.0;
    uint64_t signalLosses = 0;
    double stopSeconds = 0.0;

    Counters Read() const {
        std::lock_guard<std::mutex> lock(mutex);
        return counters;
    }
    std::string FirstError() const {
        std::lock_guard<std::mutex> lock(mutex);
        return firstError;
    }
    void NoteError(const std::string& text) {
        std::lock_guard<std::mutex> lock(mutex);
        if (firstError.empty()) firstError = text;
    }
};

// The driver's failures that tell what is wrong with a camera: level 1, and level 4 (a request
// that could not be sent), which the diagnostic log forwards.
bool IsError(const zarntest::LogRecord& r) {
    return r.level == 1 || r.level == 4;
}

// The driver's records begin with the name of the method that logged; the table has no room for it.
std::string WithoutMethod(const std::string& text) {
    const size_t colon = text.find(": ");
    if (colon == std::string::npos || text.find(' ') < colon) return text;
    return text.substr(colon + 2);
}

// CPU time of the whole process, user and system, in seconds.
double ProcessCpuSeconds() {
    rusage usage{};
    if (getrusage(RUSAGE_SELF, &usage) != 0) return 0.0;
    const auto tv = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6;
    };
    return tv(usage.ru_utime) + tv(usage.ru_stime);
}

// Resident memory in bytes and the number of threads, from /proc/self.
void ProcessMemoryAndThreads(uint64_t* residentBytes, int* threads) {
    *residentBytes = 0;
    *threads = 0;
    std::ifstream statm("/proc/self/statm");
    uint64_t pages = 0;
    uint64_t resident = 0;
    if (statm >> pages >> resident) {
        *residentBytes = resident * static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
    }
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("Threads:", 0) == 0) *threads = std::atoi(line.c_str() + 8);
    }
}

std::string Duration(double seconds) {
    const long s = static_cast<long>(seconds);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%02ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
    return buf;
}

class Watch {
public:
    Watch(DriverLibrary& library, const WatchOptions& options, Console& console)
        : library_(library), options_(options), console_(console) {}

    void OpenAll();
    void Refresh(Clock::time_point now);
    std::vector<std::string> Table(Clock::time_point now) const;
    // Stops every camera at once; returns the seconds the whole stop took.
    double StopAll();
    void PrintJson(Clock::time_point now) const;
    std::vector<std::string> Silent() const;
    void NoteLog(size_t index, const zarntest::LogRecord& record);

private:
    std::string LastFrameText(const Counters& c, Clock::time_point now) const;

    DriverLibrary& library_;
    const WatchOptions& options_;
    Console& console_;
    Clock::time_point begin_ = Clock::now();
    double lastCpu_ = ProcessCpuSeconds();
    Clock::time_point lastCpuAt_ = Clock::now();
    double cpuPercent_ = 0.0;

    mutable std::mutex logMutex_;
    std::deque<std::string> log_;  // newest records, for the terminal table
    // Last, so that the drivers, whose log records come here, are deleted first.
    std::vector<std::unique_ptr<WatchedCamera>> cameras_;
};

void Watch::NoteLog(size_t index, const zarntest::LogRecord& record) {
    WatchedCamera& cam = *cameras_[index];
    if (IsError(record) && !cam.stopping.load()) cam.NoteError(WithoutMethod(record.text));
    if (!options_.showLog) return;
    const std::string line = cam.target.Endpoint() + " " + DriverSession::FormatRecord(record);
    if (console_.GetStatusMode() != Console::StatusMode::kTerminal) {
        console_.Print(line);
        return;
    }
    std::lock_guard<std::mutex> lock(logMutex_);
    log_.push_back(line);
    if (log_.size() > kLogLinesShown) log_.pop_front();
}

void Watch::OpenAll() {
    cameras_.reserve(options_.cameras.size());
    for (const CameraTarget& target : options_.cameras) {
        auto cam = std::make_unique<WatchedCamera>();
        cam->target = target;
        cam->sink.SetKeep(0);
        cameras_.push_back(std::move(cam));
    }
    for (size_t i = 0; i < cameras_.size(); ++i) {
        WatchedCamera& cam = *cameras_[i];
        cam.sink.SetFrameHook([&cam](talvane::IHostFrame* frame) {
            const Clock::time_point now = Clock::now();
            std::lock_guard<std::mutex> lock(cam.mutex);
            Counters& c = cam.counters;
            if (c.frames == 0) c.firstFrame = now;
            c.lastFrame = now;
            ++c.frames;
            if (frame->GetFourCC() == talvane::kFourCcH264) ++c.keyFrames;
            c.bytes += std::min(frame->GetDataSize(), frame->GetCapacity());
            if (frame->GetWidth() != 0 && frame->GetHeight() != 0) {
                c.width = frame->GetWidth();
                c.height = frame->GetHeight();
            }
        });
        cam.settings = std::make_unique<zarntest::FakeStreamSettings>(
            static_cast<uint16_t>(options_.width), static_cast<uint16_t>(options_.height),
            static_cast<uint16_t>(options_.periodMs), static_cast<uint16_t>(options_.quality));
        cam.session = std::make_unique<DriverSession>(library_);
        // The table needs only the first error; a camera that keeps failing for days must not
        // fill the memory with records.
        cam.session->SetRecordLimit(1000);
        cam.session->SetEcho([this, i](const zarntest::LogRecord& r) { NoteLog(i, r); });
        std::string error;
        if (!cam.session->Open(cam.target, &error)) {
            cam.NoteError(error);
            cam.state = "failed";
            continue;
        }
        cam.video = cam.session->VideoCapture();
        if (cam.video == nullptr) {
            cam.NoteError("the driver has no video capture object");
            cam.state = "failed";
            continue;
        }
        const bool started = cam.video->StartChannel(0, &cam.sink, cam.settings.get());
        int32_t state = 0;
        int32_t code = 0;
        cam.channelStarted = cam.video->GetChannelState(0, &state, &code, nullptr, 0);
        if (!cam.channelStarted || !started) {
            cam.NoteError(cam.channelStarted ? "the driver could not start video channel 0"
                                             : "the driver started no video channel");
            cam.state = "failed";
        }
    }
}

void Watch::Refresh(Clock::time_point now) {
    const double cpu = ProcessCpuSeconds();
    const double wall = Seconds(now - lastCpuAt_);
    if (wall > 0.2) {
        cpuPercent_ = (cpu - lastCpu_) / wall * 100.0;
        lastCpu_ = cpu;
        lastCpuAt_ = now;
    }
    // A camera counts as online while frames keep coming: within three periods, at least 2 s.
    const auto fresh = std::max<Clock::duration>(std::chrono::seconds(2),
                                                 std::chrono::milliseconds(3 * options_.periodMs));
    for (auto& camPtr : cameras_) {
        WatchedCamera& cam = *camPtr;
        const Counters c = cam.Read();
        cam.samples.push_back({now, c.frames, c.bytes});
        while (cam.samples.size() > 2 && now - cam.samples.front().at > kRateWindow) {
            cam.samples.pop_front();
        }
        const Sample& first = cam.samples.front();
        const double span = Seconds(now - first.at);
        cam.fps = span > 0.0 ? static_cast<double>(c.frames - first.frames) / span : 0.0;
        cam.kbps =
            span > 0.0 ? static_cast<double>(c.bytes - first.bytes) * 8.0 / 1000.0 / span : 0.0;
        cam.signalLosses = cam.sink.SignalLostCount();
        if (cam.state == "failed" || cam.stopped) continue;
        int32_t state = 0;
        int32_t code = 0;
        if (!cam.video->GetChannelState(0, &state, &code, nullptr, 0)) {
            cam.state = "stopped";
        } else if (state == 2) {
            cam.state = "lost";
        } else if (c.frames == 0) {
            cam.state = "starting";
        } else if (state == 0) {
            cam.state = now - c.lastFrame <= fresh ? "online" : "stalled";
        } else {
            cam.state = "stopped";
        }
    }
}

std::string Watch::LastFrameText(const Counters& c, Clock::time_point now) const {
    if (c.frames == 0) return "-";
    return Fixed(Seconds(now - c.lastFrame), 1);
}

std::vector<std::string> Watch::Table(Clock::time_point now) const {
    std::vector<std::string> lines;
    lines.push_back("zarnhost watch: " + std::to_string(cameras_.size()) +
                    (cameras_.size() == 1 ? " camera, " : " cameras, ") +
                    std::to_string(options_.width) + "x" + std::to_string(options_.height) +
                    " every " + std::to_string(options_.periodMs) + " ms, up " +
                    Duration(Seconds(now - begin_)) + "  (Ctrl-C stops)");
    lines.push_back("");
    lines.push_back(
        "CAMERA                 STATE      FPS  KBIT/S  SIZE         FRAMES  LOSS  "
        "LAST S  FIRST ERROR");
    size_t online = 0;
    double fps = 0.0;
    double kbps = 0.0;
    uint64_t frames = 0;
    uint64_t losses = 0;
    for (const auto& camPtr : cameras_) {
        const WatchedCamera& cam = *camPtr;
        const Counters c = cam.Read();
        const std::string size =
            c.width != 0 ? std::to_string(c.width) + "x" + std::to_string(c.height) : "-";
        lines.push_back(Pad(cam.target.Endpoint(), 22) + " " + Pad(cam.state, 8) + " " +
                        Pad(Fixed(cam.fps, 1), 6, true) + " " + Pad(Fixed(cam.kbps, 0), 7, true) +
                        "  " + Pad(size, 10) + " " + Pad(std::to_string(c.frames), 8, true) + " " +
                        Pad(std::to_string(cam.signalLosses), 5, true) + " " +
                        Pad(LastFrameText(c, now), 7, true) + "  " + cam.FirstError());
        if (cam.state == "online") ++online;
        fps += cam.fps;
        kbps += cam.kbps;
        frames += c.frames;
        losses += cam.signalLosses;
    }
    lines.push_back(Pad("TOTAL", 22) + " " +
                    Pad(std::to_string(online) + "/" + std::to_string(cameras_.size()), 8) + " " +
                    Pad(Fixed(fps, 1), 6, true) + " " + Pad(Fixed(kbps, 0), 7, true) + "  " +
                    Pad("", 10) + " " + Pad(std::to_string(frames), 8, true) + " " +
                    Pad(std::to_string(losses), 5, true));
    uint64_t resident = 0;
    int threads = 0;
    ProcessMemoryAndThreads(&resident, &threads);
    lines.push_back("process: CPU " + Fixed(cpuPercent_, 1) + "% of one core (" +
                    Fixed(ProcessCpuSeconds(), 1) + " s in all), memory " +
                    Fixed(static_cast<double>(resident) / 1e6, 1) + " MB resident, " +
                    std::to_string(threads) + " threads");
    std::lock_guard<std::mutex> lock(logMutex_);
    if (!log_.empty()) {
        lines.push_back("");
        lines.insert(lines.end(), log_.begin(), log_.end());
    }
    return lines;
}

double Watch::StopAll() {
    const Clock::time_point begin = Clock::now();
    std::vector<std::thread> stoppers;
    stoppers.reserve(cameras_.size());
    for (auto& camPtr : cameras_) {
        WatchedCamera* cam = camPtr.get();
        cam->stopping.store(true);
        // The stop itself ends the stream, which the driver reports as one more signal loss: only
        // the losses seen while watching count.
        cam->signalLosses = cam->sink.SignalLostCount();
        stoppers.emplace_back([cam] {
            const Clock::time_point start = Clock::now();
            if (cam->channelStarted) cam->video->StopChannel(0);
            cam->session->Close();
            cam->stopSeconds = Seconds(Clock::now() - start);
        });
    }
    for (auto& t : stoppers) t.join();
    for (auto& camPtr : cameras_) camPtr->stopped = true;
    return Seconds(Clock::now() - begin);
}

void Watch::PrintJson(Clock::time_point now) const {
    for (const auto& camPtr : cameras_) {
        const WatchedCamera& cam = *camPtr;
        const Counters c = cam.Read();
        const double span = c.frames > 1 ? Seconds(c.lastFrame - c.firstFrame) : 0.0;
        nlohmann::ordered_json j;
        j["camera"] = cam.target.Endpoint();
        j["state"] = cam.state;
        j["frames"] = c.frames;
        j["key_frames"] = c.keyFrames;
        j["fps"] = span > 0.0 ? static_cast<double>(c.frames - 1) / span : 0.0;
        j["bitrate_kbps"] = span > 0.0 ? static_cast<double>(c.bytes) * 8.0 / 1000.0 / span : 0.0;
        j["bytes"] = c.bytes;
        j["width"] = c.width;
        j["height"] = c.height;
        j["signal_losses"] = cam.signalLosses;
        if (c.frames != 0) {
            j["seconds_since_last_frame"] = Seconds(now - c.lastFrame);
        } else {
            j["seconds_since_last_frame"] = nullptr;
        }
        const std::string error = cam.FirstError();
        if (error.empty()) {
            j["first_error"] = nullptr;
        } else {
            j["first_error"] = error;
        }
        j["stop_seconds"] = cam.stopSeconds;
        console_.Print(j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
    }
}

std::vector<std::string> Watch::Silent() const {
    std::vector<std::string> out;
    for (const auto& camPtr : cameras_) {
        if (camPtr->Read().frames == 0) out.push_back(camPtr->target.Endpoint());
    }
    return out;
}

}  // namespace

std::optional<std::vector<CameraTarget>> ParseCameraList(std::istream& in,
                                                         const CameraTarget& defaults,
                                                         std::string* error) {
    std::vector<CameraTarget> cameras;
    int number = 0;
    for (std::string line; std::getline(in, line);) {
        ++number;
        std::istringstream fields(line);
        std::string address;
        if (!(fields >> address) || address[0] == '#') continue;
        std::string parseError;
        auto target = ParseCameraAddress(address, &parseError);
        if (!target) {
            *error = "line " + std::to_string(number) + ": " + parseError;
            return std::nullopt;
        }
        target->user = defaults.user;
        target->password = defaults.password;
        target->hd = defaults.hd;
        std::string extra;
        if (fields >> target->user && fields >> target->password && fields >> extra) {
            *error = "line " + std::to_string(number) +
                     ": expected HOST[:PORT] [USER [PASSWORD]], found more";
            return std::nullopt;
        }
        cameras.push_back(*target);
    }
    if (cameras.empty()) {
        *error = "no camera in the list";
        return std::nullopt;
    }
    return cameras;
}

int RunWatch(DriverLibrary& library, const WatchOptions& options, Console& console,
             std::string* error) {
    // The first error of a camera that never answers is a level-4 record: ask for every level.
    library.diagnosticLog = true;
    Watch watch(library, options, console);
    watch.OpenAll();

    const Clock::time_point begin = Clock::now();
    Clock::time_point nextDraw = begin;
    bool interrupted = false;
    for (;;) {
        const Clock::time_point now = Clock::now();
        if (Interrupted()) {
            interrupted = true;
            break;
        }
        if (options.seconds > 0.0 && Seconds(now - begin) >= options.seconds) break;
        if (now >= nextDraw) {
            watch.Refresh(now);
            if (!options.json) console.Screen(watch.Table(now));
            nextDraw += std::chrono::seconds(1);
            if (nextDraw < now) nextDraw = now + std::chrono::seconds(1);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }

    const Clock::time_point stopAt = Clock::now();
    watch.Refresh(stopAt);
    const std::vector<std::string> finalTable = watch.Table(stopAt);
    const double stopSeconds = watch.StopAll();
    if (options.json) {
        watch.PrintJson(stopAt);
    } else {
        if (console.GetStatusMode() != Console::StatusMode::kTerminal) {
            console.Print("final state:");
            for (const auto& line : finalTable) console.Print(line);
        }
        console.Print(std::string(interrupted ? "Ctrl-C: " : "") + "stopped " +
                      std::to_string(options.cameras.size()) +
                      (options.cameras.size() == 1 ? " camera in " : " cameras in ") +
                      Fixed(stopSeconds, 3) + " s");
    }
    const std::vector<std::string> silent = watch.Silent();
    if (!silent.empty()) {
        std::string names;
        for (const auto& s : silent) names += (names.empty() ? "" : ", ") + s;
        *error = std::to_string(silent.size()) + " of " + std::to_string(options.cameras.size()) +
                 " cameras delivered no video: " + names;
        return kExitFailure;
    }
    return kExitOk;
}

}  // namespace zarnhost
