// The `watch` subcommand: one driver per camera, each streaming channel 0, and a table refreshed
// once a second, like top, that fits 80 columns: per camera its state, frame rate, bit rate,
// picture size, signal losses and what is wrong with it right now (wrong password, connection
// refused, timed out, an HTTP status...), cleared when its video is back; totals and the
// process's CPU and memory below. Ctrl-C (or --seconds, counted from each camera's first frame)
// stops every camera, in parallel, and the time the stop took is printed; --json prints one
// summary object per camera instead.
//
// The drivers are opened with the diagnostic log (every level), so a camera that never answers
// shows the driver's "can not send" failure; the reason behind it (refused, timed out, unknown
// host) comes from a connection attempt of the host's own.
//
// Threads: the command runs on the caller's thread, which opens the drivers, draws the table and
// stops everything. Each camera's channel thread only counts its frames (under that camera's lock)
// and its log records arrive on the driver's threads. A camera whose requests cannot be sent gets
// one short-lived thread at a time that tries to connect (bounded by a 2 s time-out). The stop
// runs one short-lived thread per camera; all threads are joined before RunWatch returns.
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
    double seconds = 0.0;  // stop on its own after this long of video; 0: only Ctrl-C stops
    // With `seconds`: how long a camera that has sent nothing yet is waited for beyond it.
    double firstFrameGraceSec = 10.0;
    bool json = false;     // no table; one JSON object per camera (one per line) at the end
    bool showLog = false;  // also show the drivers' log records (the newest under the table)
};

// Reads a camera list: one camera per line, "HOST[:PORT] [USER [PASSWORD]]" (the address may also
// be written "http://HOST[:PORT]/"); a camera without user or password takes those of `defaults`.
// Blank lines, lines starting with '#' and a UTF-8 byte-order mark (as Notepad saves) are
// skipped. A camera listed again is left out, with a line in `warnings`. nullopt with `error`
// ("line N: ...") on a bad line or an empty list.
std::optional<std::vector<CameraTarget>> ParseCameraList(std::istream& in,
                                                         const CameraTarget& defaults,
                                                         std::string* error,
                                                         std::vector<std::string>* warnings);

// What is wrong with a camera in a few words, from one of the driver's log records: "wrong
// password (401)", "HTTP 500", "signal lost", "no connection" for a request that could not be sent
// at all; empty for a record that tells of no failure.
std::string WatchErrorReason(int level, const std::string& text);

// The same for the answer of CheckReachable: "connection refused", "timed out", "unknown host"...
std::string ReachabilityReason(const std::string& checkResult);

// Runs until Ctrl-C or options.seconds; returns 0 when every camera delivered video, 1 otherwise
// (with `error` naming the cameras that did not).
int RunWatch(DriverLibrary& library, const WatchOptions& options, Console& console,
             std::string* error);

}  // namespace zarnhost
