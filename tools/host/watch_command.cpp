#include "watch_command.h"

#ifdef _WIN32
// windows.h before the others.
#include <psapi.h>
#include <tlhelp32.h>
#include <windows.h>
#else
#include <sys/resource.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <cctype>
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
// How often a camera whose requests cannot be sent is probed for the reason.
constexpr auto kProbeEvery = std::chrono::seconds(3);

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

    mutable std::mutex mutex;  // guards counters and the errors
    Counters counters;
    std::string firstError;        // a reason, as WatchErrorReason gives it
    std::string firstErrorText;    // the driver's record behind it
    bool firstErrorVague = false;  // "no connection", to be told more precisely by the probe
    std::string currentError;      // cleared by the next frame
    bool noConnection = false;     // the newest failure was a request that could not be sent
    std::string probeReason;       // why, as the last probe found; cleared by the next frame

    // A connection attempt of the host's own that tells why requests cannot be sent. Started and
    // joined by the main thread; one at a time.
    std::thread prober;
    std::atomic<bool> probing{false};
    Clock::time_point lastProbe{};

    ~WatchedCamera() {
        if (prober.joinable()) prober.join();
    }

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
    std::string FirstErrorText() const {
        std::lock_guard<std::mutex> lock(mutex);
        return firstErrorText;
    }
    std::string CurrentError() const {
        std::lock_guard<std::mutex> lock(mutex);
        return currentError;
    }
    bool NeedsProbe() const {
        std::lock_guard<std::mutex> lock(mutex);
        return noConnection;
    }
    void NoteError(const std::string& reason, const std::string& text) {
        std::lock_guard<std::mutex> lock(mutex);
        if (firstError.empty()) {
            firstError = reason;
            firstErrorText = text;
            firstErrorVague = reason == kNoConnection;
        }
        noConnection = reason == kNoConnection;
        // The driver retries: a repeated "can not send" keeps the reason the probe found.
        currentError = noConnection && !probeReason.empty() ? probeReason : reason;
    }
    // The probe's finding, unless video came back since it started.
    void NoteProbe(const std::string& reason, Clock::time_point startedAt) {
        std::lock_guard<std::mutex> lock(mutex);
        if (!noConnection || (counters.frames != 0 && counters.lastFrame >= startedAt)) return;
        currentError = reason;
        probeReason = reason;
        if (firstErrorVague) {
            firstError = reason;
            firstErrorVague = false;
        }
    }
    // A frame: whatever was wrong is over. Called under `mutex`.
    void ClearErrorLocked() {
        currentError.clear();
        probeReason.clear();
        noConnection = false;
    }

    static constexpr const char* kNoConnection = "no connection";
};

// The driver's records begin with the name of the method that logged; the table has no room for it.
std::string WithoutMethod(const std::string& text) {
    const size_t colon = text.find(": ");
    if (colon == std::string::npos || text.find(' ') < colon) return text;
    return text.substr(colon + 2);
}

// The number after `key` in `text`, or -1.
int NumberAfter(const std::string& text, const std::string& key) {
    const size_t at = text.find(key);
    if (at == std::string::npos) return -1;
    int value = 0;
    size_t i = at + key.size();
    if (i >= text.size() || !std::isdigit(static_cast<unsigned char>(text[i]))) return -1;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])) && value < 100000;
         ++i) {
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

std::string StatusReason(int status) {
    if (status == 401) return "wrong password (401)";
    if (status == 403) return "access denied (403)";
    return "HTTP " + std::to_string(status);
}

// Table columns: camera, state, fps, kbit/s, size, losses, then the error in what is left of 80.
constexpr size_t kCameraWidth = 21;
constexpr size_t kErrorWidth = 80 - (kCameraWidth + 1 + 8 + 1 + 5 + 1 + 6 + 2 + 9 + 1 + 4 + 1);

std::string CutTo(const std::string& text, size_t width) {
    return text.size() <= width ? text : text.substr(0, width - 1) + "~";
}

#ifdef _WIN32
double ProcessCpuSeconds() {
    FILETIME created{};
    FILETIME exited{};
    FILETIME kernel{};
    FILETIME user{};
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return 0.0;
    const auto seconds = [](const FILETIME& t) {
        return static_cast<double>((uint64_t{t.dwHighDateTime} << 32) | t.dwLowDateTime) / 1e7;
    };
    return seconds(kernel) + seconds(user);
}

void ProcessMemoryAndThreads(uint64_t* residentBytes, int* threads) {
    *residentBytes = 0;
    *threads = 0;
    PROCESS_MEMORY_COUNTERS counters{};
    if (GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)) {
        *residentBytes = counters.WorkingSetSize;
    }
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    const DWORD self = GetCurrentProcessId();
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID == self) ++*threads;
    }
    CloseHandle(snapshot);
}
#else
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
#endif

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
    // True once every camera has delivered options.seconds of video, or has had that and the
    // grace for its first frame without delivering any.
    bool LongEnough(Clock::time_point now) const;

private:
    std::string StateText(const WatchedCamera& cam) const;
    std::string ErrorText(const WatchedCamera& cam, const Counters& c, Clock::time_point now) const;

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
    if (const std::string reason = WatchErrorReason(record.level, record.text);
        !reason.empty() && !cam.stopping.load()) {
        cam.NoteError(reason, record.text);
    }
    if (!options_.showLog) return;
    zarntest::LogRecord shortened = record;
    shortened.text = WithoutMethod(record.text);
    const std::string line = cam.target.Endpoint() + " " + DriverSession::FormatRecord(shortened);
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
            cam.ClearErrorLocked();
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
            cam.NoteError("driver refused", error);
            cam.state = "failed";
            continue;
        }
        cam.video = cam.session->VideoCapture();
        if (cam.video == nullptr) {
            cam.NoteError("no video object", "the driver has no video capture object");
            cam.state = "failed";
            continue;
        }
        const bool started = cam.video->StartChannel(0, &cam.sink, cam.settings.get());
        int32_t state = 0;
        int32_t code = 0;
        cam.channelStarted = cam.video->GetChannelState(0, &state, &code, nullptr, 0);
        if (!cam.channelStarted || !started) {
            cam.NoteError("no video channel", cam.channelStarted
                                                  ? "the driver could not start video channel 0"
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
        if (cam.NeedsProbe() && !cam.probing.load() && now - cam.lastProbe >= kProbeEvery) {
            if (cam.prober.joinable()) cam.prober.join();
            cam.probing.store(true);
            cam.lastProbe = now;
            cam.prober = std::thread([&cam, now] {
                cam.NoteProbe(ReachabilityReason(CheckReachable(cam.target, 2000)), now);
                cam.probing.store(false);
            });
        }
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

std::string Watch::StateText(const WatchedCamera& cam) const {
    const std::string text = Pad(cam.state, 8);
    if (cam.state == "online") return console_.Colour(text, "32");
    if (cam.state == "starting" || cam.state == "stalled") return console_.Colour(text, "33");
    if (cam.state == "lost" || cam.state == "failed") return console_.Colour(text, "31");
    return text;
}

std::string Watch::ErrorText(const WatchedCamera& cam, const Counters& c,
                             Clock::time_point now) const {
    std::string error = cam.CurrentError();
    if (error.empty() && cam.state == "stalled") {
        error = "no video for " + Fixed(Seconds(now - c.lastFrame), 0) + " s";
    }
    return console_.Colour(CutTo(error, kErrorWidth), "31");
}

std::vector<std::string> Watch::Table(Clock::time_point now) const {
    std::vector<std::string> lines;
    lines.push_back("zarnhost watch: " + std::to_string(cameras_.size()) +
                    (cameras_.size() == 1 ? " camera, " : " cameras, ") +
                    std::to_string(options_.width) + "x" + std::to_string(options_.height) +
                    " every " + std::to_string(options_.periodMs) + " ms, up " +
                    Duration(Seconds(now - begin_)) + "  (Ctrl-C stops)");
    lines.push_back("");
    lines.push_back(Pad("CAMERA", kCameraWidth) + " STATE      FPS KBIT/S  SIZE      LOSS ERROR");
    size_t online = 0;
    double fps = 0.0;
    double kbps = 0.0;
    uint64_t losses = 0;
    for (const auto& camPtr : cameras_) {
        const WatchedCamera& cam = *camPtr;
        const Counters c = cam.Read();
        const std::string size =
            c.width != 0 ? std::to_string(c.width) + "x" + std::to_string(c.height) : "-";
        lines.push_back(Pad(CutTo(cam.target.Endpoint(), kCameraWidth), kCameraWidth) + " " +
                        StateText(cam) + " " + Pad(Fixed(cam.fps, 1), 5, true) + " " +
                        Pad(Fixed(cam.kbps, 0), 6, true) + "  " + Pad(size, 9) + " " +
                        Pad(std::to_string(cam.signalLosses), 4, true) + " " +
                        ErrorText(cam, c, now));
        if (cam.state == "online") ++online;
        fps += cam.fps;
        kbps += cam.kbps;
        losses += cam.signalLosses;
    }
    lines.push_back(Pad("TOTAL", kCameraWidth) + " " +
                    Pad(std::to_string(online) + "/" + std::to_string(cameras_.size()), 8) + " " +
                    Pad(Fixed(fps, 1), 5, true) + " " + Pad(Fixed(kbps, 0), 6, true) + "  " +
                    Pad("", 9) + " " + Pad(std::to_string(losses), 4, true));
    uint64_t resident = 0;
    int threads = 0;
    ProcessMemoryAndThreads(&resident, &threads);
    lines.push_back("process: CPU " + Fixed(cpuPercent_, 1) + "% of a core, " +
                    Fixed(ProcessCpuSeconds(), 1) + " s in all; " +
                    Fixed(static_cast<double>(resident) / 1e6, 1) + " MB resident; " +
                    std::to_string(threads) + " threads");
    std::lock_guard<std::mutex> lock(logMutex_);
    if (!log_.empty()) {
        lines.push_back("");
        for (const auto& line : log_) lines.push_back(CutTo(line, 80));
    }
    return lines;
}

bool Watch::LongEnough(Clock::time_point now) const {
    for (const auto& camPtr : cameras_) {
        if (camPtr->state == "failed") continue;
        const Counters c = camPtr->Read();
        const double waited = c.frames != 0 ? Seconds(now - c.firstFrame) : Seconds(now - begin_);
        const double needed =
            c.frames != 0 ? options_.seconds : options_.seconds + options_.firstFrameGraceSec;
        if (waited < needed) return false;
    }
    return true;
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
    for (auto& camPtr : cameras_) {
        camPtr->stopped = true;
        if (camPtr->prober.joinable()) camPtr->prober.join();
    }
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
        const auto textOrNull = [](const std::string& text) {
            return text.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(text);
        };
        j["error"] = textOrNull(cam.CurrentError());
        j["first_error"] = textOrNull(cam.FirstError());
        j["first_error_record"] = textOrNull(cam.FirstErrorText());
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
                                                         std::string* error,
                                                         std::vector<std::string>* warnings) {
    std::vector<CameraTarget> cameras;
    std::vector<int> lineOf;
    int number = 0;
    for (std::string line; std::getline(in, line);) {
        ++number;
        // Notepad saves UTF-8 with a byte-order mark in front of the first line.
        if (number == 1 && line.rfind("\xEF\xBB\xBF", 0) == 0) line.erase(0, 3);
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
        const auto same = std::find_if(cameras.begin(), cameras.end(), [&](const CameraTarget& c) {
            return c.Endpoint() == target->Endpoint();
        });
        if (same != cameras.end()) {
            if (warnings != nullptr) {
                warnings->push_back("line " + std::to_string(number) + ": " + target->Endpoint() +
                                    " is listed already on line " +
                                    std::to_string(lineOf[same - cameras.begin()]) +
                                    "; it is watched once");
            }
            continue;
        }
        cameras.push_back(*target);
        lineOf.push_back(number);
    }
    if (cameras.empty()) {
        *error = "no camera in the list";
        return std::nullopt;
    }
    return cameras;
}

std::string WatchErrorReason(int level, const std::string& text) {
    // Level 1 failures, and level 4: requests that could not be sent (the diagnostic log).
    if (level != 1 && level != 4) return {};
    if (int status = NumberAfter(text, "status code = "); status >= 0) return StatusReason(status);
    if (int status = NumberAfter(text, "stream request with status "); status >= 0) {
        return StatusReason(status);
    }
    if (text.find("can not send") != std::string::npos) return WatchedCamera::kNoConnection;
    if (text.find("Signal was lost") != std::string::npos) return "signal lost";
    if (text.find("is offline or failed") != std::string::npos) return "offline";
    if (text.find("too long response") != std::string::npos ||
        text.find("incorrect response") != std::string::npos) {
        return "bad answer";
    }
    return WithoutMethod(text);
}

std::string ReachabilityReason(const std::string& checkResult) {
    // The host connects, but the driver's requests fail: the camera closes or does not answer.
    if (checkResult.empty()) return "no answer";
    std::string lower = checkResult;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char ch) { return static_cast<char>(std::tolower(ch)); });
    if (lower.find("refused") != std::string::npos) return "connection refused";
    if (lower.rfind("no answer within", 0) == 0 || lower.find("timed out") != std::string::npos) {
        return "timed out";
    }
    if (lower.rfind("cannot resolve", 0) == 0) return "unknown host";
    if (lower.find("unreachable") != std::string::npos ||
        lower.find("no route") != std::string::npos) {
        return "unreachable";
    }
    return lower;
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
        if (options.seconds > 0.0 && watch.LongEnough(now)) break;
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
        // The table drawn on the alternate screen goes with it: the final one stays on the
        // terminal.
        console.EndScreen();
        console.Print("final state:");
        for (const auto& line : finalTable) console.Print(line);
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
