// The `watch` subcommand: one driver per camera, each streaming channel 0, and a table refreshed
// once a second, like top: per camera its state, frame rate, bit rate, picture size, frames, signal
// losses, seconds since the last frame and the first error the driver logged; totals and the
// process's CPU and memory below. Ctrl-C (or --seconds) stops every camera, in parallel, and the
// time the stop took is printed; --json prints one summary object per camera instead.
//
// The drivers are opened with the diagnostic log (every level), so a camera that never answers
// shows the driver's "can not send" failure as its first error.
//
// Threads: the command runs on the caller's thread, which opens the drivers, draws the table and
// stops everything. Each camera's channel thread only counts its frames (under that camera's lock)
// and its log records arrive on the driver's threads. The stop runs one short-lived thread per
// camera, all joined before RunWatch returns.
#pragma once

#include <istream>
#include <optional>
#include <string>
#include <vector>

#include "camera_target.h"
#include "console.h"
#include "driver_library.h"

namespace zarnhost {

struct WatchOptions {
    std::vector<CameraTarget> cameras;
    int width = 704;
    int height = 576;
    int periodMs = 40;
    int quality = 50;
    double seconds = 0.0;  // stop on its own after this long; 0: only Ctrl-C stops
    bool json = false;     // no table; one JSON object per camera (one per line) at the end
    bool showLog = false;  // also show the drivers' log records (the newest under the table)
};

// Reads a camera list: one camera per line, "HOST[:PORT] [USER [PASSWORD]]"; a camera without user
// or password takes those of `defaults`. Blank lines and lines starting with '#' are skipped.
// nullopt with `error` ("line N: ...") on a bad line or an empty list.
std::optional<std::vector<CameraTarget>> ParseCameraList(std::istream& in,
                                                         const CameraTarget& defaults,
                                                         std::string* error);

// Runs until Ctrl-C or options.seconds; returns 0 when every camera delivered video, 1 otherwise
// (with `error` naming the cameras that did not).
int RunWatch(DriverLibrary& library, const WatchOptions& options, Console& console,
             std::string* error);

}  // namespace zarnhost
