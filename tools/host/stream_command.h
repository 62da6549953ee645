// The `stream` subcommand: opens the driver for a camera, starts video channel 0 with the host's
// stream settings, and shows, stores and decodes what arrives until a frame count or a duration
// is reached, the user presses Ctrl-C, or the camera fails before the first frame.
//
// Threads: the command runs on the caller's thread; frames arrive on the driver's channel thread,
// which only copies them (with the host's time stamp) into a bounded queue. Writing the video file,
// decoding and the status line all happen on the caller's thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "camera_target.h"
#include "console.h"
#include "driver_library.h"
#include "support/fake_host.h"

namespace zarnhost {

struct StreamOptions {
    CameraTarget camera;
    int width = 704;
    int height = 576;
    int periodMs = 40;
    int quality = 50;
    double seconds = 0.0;  // seconds of video from the first frame; 0 = no limit
    uint64_t frames = 0;   // frames to receive; 0 = no limit
    std::string out;       // .mkv, .mp4 or raw .h264 file (VideoFileWriter), or empty
    std::string snapshot;  // PNG of the newest picture, or empty
    bool json = false;     // one JSON object on standard output instead of text
    int timeoutSec = 20;   // time allowed for the first frame
};

struct StreamResult {
    bool ok = false;
    std::string error;  // one line when !ok
    uint64_t frames = 0;
    uint64_t keyFrames = 0;
    uint64_t bytes = 0;
    uint64_t droppedFrames = 0;  // frames the host could not queue
    double fps = 0.0;
    double kbps = 0.0;
    double seconds = 0.0;
    double firstFrameAfterSec = 0.0;
    uint32_t width = 0;
    uint32_t height = 0;
    uint64_t signalLosses = 0;
    uint64_t gaps = 0;            // stretches without video longer than a few periods
    double missingSeconds = 0.0;  // their total length
    double longestGapSeconds = 0.0;
    std::string sizeNote;  // the delivered size differs from the requested one
    std::string hint;      // what to change on the command line (e.g. --hd 1)
    uint64_t decodedPictures = 0;
    uint64_t decodeErrors = 0;
    int snapshotWidth = 0;
    int snapshotHeight = 0;
    std::string state;
    bool interrupted = false;
    std::vector<zarntest::LogRecord> log;
};

// A stretch without frames longer than this counts as missing video: five frame periods, at
// least one second.
std::chrono::milliseconds GapThreshold(int periodMs);

// Runs the stream and prints the log records, the status line and the summary (text or JSON).
// Returns the process exit status: 0 when frames arrived without a gap or a signal loss and every
// requested file was written.
int RunStream(DriverLibrary& library, const StreamOptions& options, Console& console,
              StreamResult* result);

}  // namespace zarnhost
