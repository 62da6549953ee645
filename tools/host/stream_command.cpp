#include "stream_command.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>

#include "driver_session.h"
#include "exit_status.h"
#include "h264_decoder.h"
#include "interrupt.h"
#include "output_file.h"
#include "png_writer.h"
#include "probe_command.h"
#include "stream_stats.h"
#include "video_file_writer.h"

namespace zarnhost {

namespace {

using Clock = std::chrono::steady_clock;

struct QueuedFrame {
    std::vector<uint8_t> data;
    uint32_t fourcc = 0;
    uint32_t width = 0;
    uint32_t height = 0;
    Clock::time_point arrivedAt;
    int64_t stampMs = 0;  // the host's time stamp, milliseconds since 1970 (UTC)
};

// Frames handed over by the driver's channel thread, waiting for the main loop. Bounded so a
// stalled main loop cannot exhaust memory; frames that do not fit are counted and dropped.
class FrameQueue {
public:
    static constexpr size_t kMaxFrames = 512;
    static constexpr size_t kMaxBytes = 128u << 20;

    void Push(QueuedFrame&& frame) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (frames_.size() >= kMaxFrames || bytes_ + frame.data.size() > kMaxBytes) {
                ++dropped_;
                return;
            }
            bytes_ += frame.data.size();
            frames_.push_back(std::move(frame));
        }
        cv_.notify_one();
    }

    // Waits up to `timeout` for a frame, then takes every waiting one.
    std::vector<QueuedFrame> Take(std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(mutex_);
        cv_.wait_for(lock, timeout, [&] { return !frames_.empty(); });
        std::vector<QueuedFrame> out;
        out.swap(frames_);
        bytes_ = 0;
        return out;
    }

    uint64_t Dropped() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return dropped_;
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<QueuedFrame> frames_;
    size_t bytes_ = 0;
    uint64_t dropped_ = 0;
};

// The host's frame time stamp in milliseconds since 1970; 0 for a frame that was never stamped.
int64_t StampMs(const SYSTEMTIME& t) {
    using namespace std::chrono;
    if (t.wYear == 0) return 0;
    const sys_days date = year{t.wYear} / month{t.wMonth} / day{t.wDay};
    return duration_cast<milliseconds>(date.time_since_epoch()).count() +
           ((int64_t{t.wHour} * 60 + t.wMinute) * 60 + t.wSecond) * 1000 + t.wMilliseconds;
}

std::string StateName(bool present, int32_t state) {
    if (!present) return "no channel";
    switch (state) {
        case 0:
            return "running";
        case 2:
            return "signal lost";
        case 3:
            return "stopped";
        default:
            return "state " + std::to_string(state);
    }
}

std::string Fixed(double value, int decimals) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, value);
    return buf;
}

std::string HumanBytes(uint64_t bytes) {
    if (bytes >= 10u * 1000 * 1000) return Fixed(static_cast<double>(bytes) / 1e6, 1) + " MB";
    if (bytes >= 10u * 1000) return Fixed(static_cast<double>(bytes) / 1e3, 1) + " kB";
    return std::to_string(bytes) + " B";
}

// The camera's refusal of the credentials, as the driver logs a failed CGI request.
const zarntest::LogRecord* FindAuthFailure(const std::vector<zarntest::LogRecord>& records) {
    for (const auto& r : records) {
        if (r.level == 1 && (r.text.find("status code = 401") != std::string::npos ||
                             r.text.find("status code = 403") != std::string::npos)) {
            return &r;
        }
    }
    return nullptr;
}

const zarntest::LogRecord* LastFailure(const std::vector<zarntest::LogRecord>& records) {
    for (auto it = records.rbegin(); it != records.rend(); ++it) {
        if (it->level == 1) return &*it;
    }
    return nullptr;
}

void PrintSummary(const StreamOptions& options, const StreamResult& r, Console& console) {
    if (options.json) {
        nlohmann::ordered_json j;
        j["ok"] = r.ok;
        if (!r.ok) j["error"] = r.error;
        j["camera"] = options.camera.Endpoint();
        j["requested"] = {{"width", options.width},
                          {"height", options.height},
                          {"period_ms", options.periodMs},
                          {"quality", options.quality}};
        j["state"] = r.state;
        j["frames"] = r.frames;
        j["key_frames"] = r.keyFrames;
        j["fps"] = r.fps;
        j["bitrate_kbps"] = r.kbps;
        j["bytes"] = r.bytes;
        j["seconds"] = r.seconds;
        j["first_frame_after_s"] = r.firstFrameAfterSec;
        j["width"] = r.width;
        j["height"] = r.height;
        j["signal_losses"] = r.signalLosses;
        j["gaps"] = r.gaps;
        j["missing_seconds"] = r.missingSeconds;
        j["longest_gap_s"] = r.longestGapSeconds;
        if (!r.sizeNote.empty()) j["size_note"] = r.sizeNote;
        if (!r.hint.empty()) j["hint"] = r.hint;
        j["dropped_frames"] = r.droppedFrames;
        j["decoded_pictures"] = r.decodedPictures;
        j["decode_errors"] = r.decodeErrors;
        j["interrupted"] = r.interrupted;
        if (!options.out.empty()) j["output"] = options.out;
        if (!options.snapshot.empty()) {
            j["snapshot"] = options.snapshot;
            j["snapshot_width"] = r.snapshotWidth;
            j["snapshot_height"] = r.snapshotHeight;
        }
        nlohmann::ordered_json log = nlohmann::ordered_json::array();
        for (const auto& rec : r.log) {
            log.push_back({{"level", rec.level}, {"text", rec.text}});
        }
        j["log"] = std::move(log);
        console.Print(j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
        return;
    }
    if (r.frames == 0) return;
    console.Print("stream summary for " + options.camera.Endpoint() +
                  (r.interrupted ? " (stopped by Ctrl-C)" : ""));
    console.Print("  frames         " + std::to_string(r.frames) + " (" +
                  std::to_string(r.keyFrames) + " key frames), " + Fixed(r.fps, 1) + " fps over " +
                  Fixed(r.seconds, 2) + " s");
    console.Print("  bit rate       " + Fixed(r.kbps, 0) + " kbit/s (" + HumanBytes(r.bytes) + ")");
    console.Print("  picture size   " +
                  (r.width != 0 ? std::to_string(r.width) + "x" + std::to_string(r.height)
                                : std::string("unknown")));
    console.Print("  signal losses  " + std::to_string(r.signalLosses));
    console.Print("  video missing  " + Fixed(r.missingSeconds, 1) + " s" +
                  (r.gaps == 0 ? std::string()
                               : " in " + std::to_string(r.gaps) +
                                     (r.gaps == 1 ? " gap" : " gaps, the longest ") +
                                     (r.gaps == 1 ? "" : Fixed(r.longestGapSeconds, 1) + " s")));
    console.Print("  decoded        " + std::to_string(r.decodedPictures) + " pictures, " +
                  std::to_string(r.decodeErrors) + " decode errors");
    if (r.droppedFrames != 0) {
        console.Print("  dropped        " + std::to_string(r.droppedFrames) +
                      " frames (host queue full)");
    }
    if (!options.out.empty() && r.bytes != 0) console.Print("  video file     " + options.out);
    if (!options.snapshot.empty() && r.snapshotWidth != 0) {
        console.Print("  snapshot       " + options.snapshot + " (" +
                      std::to_string(r.snapshotWidth) + "x" + std::to_string(r.snapshotHeight) +
                      ")");
    }
    if (!r.hint.empty()) console.Print("  hint           " + r.hint);
}

// What went missing in a run that otherwise worked; empty when nothing did.
std::string MissingVideoText(const StreamOptions& options, const StreamResult& r,
                             const StreamStats& stats, double runSeconds) {
    if (r.gaps == 0 && r.signalLosses == 0) return {};
    std::string text = "camera " + options.camera.Endpoint();
    if (r.signalLosses != 0) {
        text += " was lost (" + std::to_string(r.signalLosses) +
                (r.signalLosses == 1 ? " signal loss)" : " signal losses)");
    } else {
        text += " stopped delivering video";
    }
    if (r.gaps != 0) {
        text += ": video missing for " + Fixed(r.missingSeconds, 1) + " s of " +
                Fixed(runSeconds, 1) + " s";
        text += r.gaps == 1 ? ", from " + Fixed(stats.LongestGapAfterSeconds(), 1) +
                                  " s after the first frame"
                            : " in " + std::to_string(r.gaps) + " gaps, the longest " +
                                  Fixed(r.longestGapSeconds, 1) + " s";
    }
    return text;
}

// True when the camera describes itself as a high-definition model (the capability query's "HD
// support" property, as `probe` shows it).
bool CameraIsHd(DriverLibrary& library, const CameraTarget& camera) {
    zarntest::FakeCapabilityResult result;
    QueryRun run;
    std::string error;
    if (!RunCapabilityQuery(library, camera, 15, &result, &run, &error) || !run.finished ||
        !run.outcome.completed) {
        return false;
    }
    for (int i = 1; i <= 4; ++i) {
        const auto p = result.CustomProperty(i);
        if (p.name && *p.name == "HD support") return p.value.value_or("0") == "1";
    }
    return false;
}

}  // namespace

std::chrono::milliseconds GapThreshold(int periodMs) {
    return std::max(std::chrono::milliseconds(1000), std::chrono::milliseconds(5 * periodMs));
}

int RunStream(DriverLibrary& library, const StreamOptions& options, Console& console,
              StreamResult* resultOut) {
    StreamResult local;
    StreamResult& result = resultOut != nullptr ? *resultOut : local;
    result = StreamResult{};

    FrameQueue queue;
    zarntest::FakeChannelSink sink;
    sink.SetKeep(0);
    sink.SetFrameHook([&queue](talvane::IHostFrame* frame) {
        QueuedFrame q;
        const uint32_t size = std::min(frame->GetDataSize(), frame->GetCapacity());
        const uint8_t* data = frame->GetBuffer();
        if (data != nullptr) q.data.assign(data, data + size);
        q.fourcc = frame->GetFourCC();
        q.width = frame->GetWidth();
        q.height = frame->GetHeight();
        q.arrivedAt = Clock::now();
        SYSTEMTIME stamp{};
        frame->GetTime(&stamp);
        q.stampMs = StampMs(stamp);
        if (q.stampMs == 0) {
            q.stampMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                            q.arrivedAt.time_since_epoch())
                            .count();
        }
        queue.Push(std::move(q));
    });
    zarntest::FakeStreamSettings settings(
        static_cast<uint16_t>(options.width), static_cast<uint16_t>(options.height),
        static_cast<uint16_t>(options.periodMs), static_cast<uint16_t>(options.quality));
    StreamStats stats;
    stats.SetGapThreshold(GapThreshold(options.periodMs));
    H264Decoder decoder;
    VideoFileWriter file;
    const Clock::time_point begin = Clock::now();

    DriverSession session(library);
    if (!options.json) {
        session.SetEcho([&console](const zarntest::LogRecord& r) {
            console.Print(DriverSession::FormatRecord(r));
        });
    }

    auto fail = [&](const std::string& error) {
        result.ok = false;
        result.error = error;
        return kExitFailure;
    };

    int status = kExitOk;
    talvane::ipcapture::IIPVideoCapture* video = nullptr;
    bool channelStarted = false;
    std::string error;
    if (!session.Open(options.camera, &error)) {
        status = fail(error);
    } else if (const std::string why = CheckReachable(options.camera, 3000); !why.empty()) {
        status = fail("camera " + options.camera.Endpoint() + " unreachable: " + why);
    } else if (!options.snapshot.empty() && !decoder.Ready()) {
        status = fail(decoder.Error());
    } else if ((video = session.VideoCapture()) == nullptr) {
        status = fail("the driver has no video capture object");
    }
    // The files are only checked here; they are created with the first frame, so that a run that
    // receives nothing leaves no empty recording behind.
    for (const std::string* path : {&options.out, &options.snapshot}) {
        if (status != kExitOk || path->empty()) continue;
        if (const std::string why = CheckCanCreate(*path); !why.empty()) status = fail(why);
    }
    std::string fileError;
    if (status == kExitOk) {
        const bool started = video->StartChannel(0, &sink, &settings);
        int32_t state = 0;
        int32_t code = 0;
        char text[128] = {};
        const bool present = video->GetChannelState(0, &state, &code, text, sizeof text);
        channelStarted = present;
        if (!present) {
            status = fail("this driver build started no video channel (it has no H.264 channel)");
        } else if (!started) {
            status = fail("the driver could not start video channel 0");
        }
    }

    std::string state = "no channel";
    if (status == kExitOk && !options.json) {
        console.Print("streaming from " + options.camera.Endpoint() + ": " +
                      std::to_string(options.width) + "x" + std::to_string(options.height) +
                      ", one frame every " + std::to_string(options.periodMs) + " ms, quality " +
                      std::to_string(options.quality) + " (Ctrl-C stops)");
    }
    // Counts a received frame, appends it to the output file and decodes it.
    const auto consume = [&](const QueuedFrame& f) {
        stats.AddFrame(f.data.size(), f.fourcc == talvane::kFourCcH264, f.width, f.height,
                       f.arrivedAt);
        if (result.sizeNote.empty() && f.width != 0 && f.height != 0 &&
            (f.width != static_cast<uint32_t>(options.width) ||
             f.height != static_cast<uint32_t>(options.height))) {
            result.sizeNote = "the camera delivers " + std::to_string(f.width) + "x" +
                              std::to_string(f.height) + ", not the " +
                              std::to_string(options.width) + "x" + std::to_string(options.height) +
                              " asked for (the driver maps --size to a size of the camera's "
                              "table)";
            if (!options.json) console.Print("note: " + result.sizeNote);
        }
        if (!options.out.empty() && !file.IsOpen() && fileError.empty() &&
            !file.Open(options.out, options.periodMs, &fileError) && fileError.empty()) {
            fileError = "cannot create " + options.out;
        }
        if (file.IsOpen()) {
            file.Write(f.data.data(), f.data.size(), f.fourcc == talvane::kFourCcH264, f.width,
                       f.height, f.stampMs);
        }
        if (decoder.Ready()) decoder.Decode(f.data.data(), f.data.size());
    };
    bool frameLimitReached = false;
    Clock::time_point endedAt{};
    if (status == kExitOk) {
        Clock::time_point lastStatus{};
        bool done = false;
        while (!done) {
            for (QueuedFrame& f : queue.Take(std::chrono::milliseconds(50))) {
                if (options.frames != 0 && stats.Frames() >= options.frames) break;
                consume(f);
            }
            const Clock::time_point now = Clock::now();
            int32_t st = 0;
            int32_t code = 0;
            char text[128] = {};
            state = StateName(video->GetChannelState(0, &st, &code, text, sizeof text), st);

            endedAt = now;
            if (Interrupted()) {
                result.interrupted = true;
                if (!stats.Started()) status = fail("stopped by Ctrl-C before the first frame");
                break;
            }
            if (stats.Started()) {
                const double videoSec =
                    std::chrono::duration<double>(now - stats.FirstFrameAt()).count();
                frameLimitReached = options.frames != 0 && stats.Frames() >= options.frames;
                done = frameLimitReached || (options.seconds > 0.0 && videoSec >= options.seconds);
            } else {
                const auto records = session.Records();
                const double waited = std::chrono::duration<double>(now - begin).count();
                if (const auto* denied = FindAuthFailure(records)) {
                    const size_t at = denied->text.rfind("status code = ");
                    status = fail("camera " + options.camera.Endpoint() +
                                  " rejected the user name or password (HTTP " +
                                  denied->text.substr(at + 14) + ")");
                    break;
                }
                if (waited >= options.timeoutSec) {
                    const auto* last = LastFailure(records);
                    status = fail("no video from camera " + options.camera.Endpoint() + " within " +
                                  std::to_string(options.timeoutSec) + " s" +
                                  (last != nullptr ? " (driver: " + last->text + ")" : ""));
                    break;
                }
            }
            const auto statusEvery = std::chrono::milliseconds(
                console.GetStatusMode() == Console::StatusMode::kLines ? 1000 : 250);
            if (now - lastStatus >= statusEvery) {
                lastStatus = now;
                if (stats.Started()) {
                    // Kept under 80 columns so that a terminal does not wrap it.
                    console.Status("[" + state + "] " + std::to_string(stats.Frames()) +
                                   " frames  " + Fixed(stats.WindowFps(now), 1) + " fps  " +
                                   Fixed(stats.WindowKbps(now), 0) + " kbit/s  " +
                                   std::to_string(stats.KeyFrames()) + " key  " +
                                   std::to_string(stats.Width()) + "x" +
                                   std::to_string(stats.Height()) + "  " +
                                   std::to_string(sink.SignalLostCount()) + " losses");
                } else {
                    console.Status("[" + state + "] waiting for the first frame: " +
                                   Fixed(std::chrono::duration<double>(now - begin).count(), 1) +
                                   " s");
                }
            }
        }
        console.EndStatus();
    }

    // The driver reports the end of the stream that its own stop causes as one more signal loss;
    // only the losses seen while streaming count.
    result.signalLosses = sink.SignalLostCount();
    if (channelStarted) {
        video->StopChannel(0);
        int32_t st = 0;
        int32_t code = 0;
        state = StateName(video->GetChannelState(0, &st, &code, nullptr, 0), st);
        if (state == "no channel") state = "stopped";
    }
    session.Close();
    // Frames that arrived between the last turn of the loop and the stop.
    for (QueuedFrame& f : queue.Take(std::chrono::milliseconds(0))) {
        if (status != kExitOk || (options.frames != 0 && stats.Frames() >= options.frames)) break;
        consume(f);
    }
    if (decoder.Ready()) decoder.Flush();
    // A run that ended at its frame count ended with its last frame; any other end (the duration,
    // Ctrl-C) leaves the time since the last frame to be judged as well.
    if (!frameLimitReached) stats.Finish(endedAt);

    result.state = state;
    result.frames = stats.Frames();
    result.keyFrames = stats.KeyFrames();
    result.bytes = stats.Bytes();
    result.fps = stats.Fps();
    result.kbps = stats.Kbps();
    result.seconds = stats.Duration();
    result.width = stats.Width();
    result.height = stats.Height();
    result.gaps = stats.Gaps();
    result.missingSeconds = stats.MissingSeconds();
    result.longestGapSeconds = stats.LongestGapSeconds();
    result.droppedFrames = queue.Dropped();
    result.decodedPictures = decoder.Pictures();
    result.decodeErrors = decoder.Errors();
    if (stats.Started()) {
        result.firstFrameAfterSec =
            std::chrono::duration<double>(stats.FirstFrameAt() - begin).count();
    }

    if (!file.Close() && status == kExitOk) status = fail(file.Error());
    if (!fileError.empty() && status == kExitOk) status = fail(fileError);
    if (status == kExitOk && !options.snapshot.empty()) {
        RgbPicture picture;
        if (!decoder.NewestPicture(&picture)) {
            status = fail("no decodable picture for the snapshot " + options.snapshot);
        } else if (const std::string why = WritePng(options.snapshot, picture); !why.empty()) {
            status = fail(why);
        } else {
            result.snapshotWidth = picture.width;
            result.snapshotHeight = picture.height;
        }
    }
    if (status == kExitOk && stats.Frames() == 0) status = fail("no frames received");
    const double runSeconds =
        stats.Started()
            ? std::chrono::duration<double>((frameLimitReached ? stats.LastFrameAt() : endedAt) -
                                            stats.FirstFrameAt())
                  .count()
            : 0.0;
    if (const std::string missing = MissingVideoText(options, result, stats, runSeconds);
        status == kExitOk && !missing.empty()) {
        status = fail(missing);
    }
    if (!result.sizeNote.empty() && !options.camera.hd && CameraIsHd(library, options.camera)) {
        result.hint = "this is a high-definition camera: add --hd 1 for its own size table";
    }
    if (status == kExitOk) result.ok = true;
    result.log = session.Records();
    PrintSummary(options, result, console);
    return status;
}

}  // namespace zarnhost
