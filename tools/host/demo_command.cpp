#include "demo_command.h"

#include <chrono>
#include <filesystem>
#include <thread>

#include "camsim.h"
#include "driver_session.h"
#include "exit_status.h"
#include "interrupt.h"
#include "probe_command.h"
#include "ptz_command.h"
#include "stream_command.h"

namespace zarnhost {

namespace {

using Clock = std::chrono::steady_clock;

std::string Seconds(Clock::time_point since) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f s",
                  std::chrono::duration<double>(Clock::now() - since).count());
    return buf;
}

// Waits until the camera has received `count` requests whose target contains `needle`; prints
// the last of them.
bool ShowCameraRequest(const zarncam::Camera& camera, const std::string& needle, size_t count,
                       Console& console) {
    std::string seen;
    const bool found = camera.WaitFor(
        [&](const std::vector<zarncam::RequestRecord>& requests) {
            size_t n = 0;
            for (const auto& r : requests) {
                if (r.target.find(needle) != std::string::npos && ++n == count) {
                    seen = r.method + " " + r.target + " -> " + std::to_string(r.status);
                    return true;
                }
            }
            return false;
        },
        std::chrono::seconds(3));
    console.Print(found ? "  camera received " + seen
                        : "  camera never received a request with " + needle);
    return found;
}

bool ShowCameraRequest(const zarncam::Camera& camera, const std::string& needle, Console& console) {
    return ShowCameraRequest(camera, needle, 1, console);
}

// The driver keeps preset names in a file named after the camera's address and port, beside the
// host program or in the folder the session named; the demo camera's port changes every run, so
// the demo removes its file.
void RemoveDemoPresetFile(const DriverSession& session, uint16_t port) {
    std::filesystem::path folder = session.PresetFolder();
    if (folder.empty()) folder = ProgramFolder();
    if (folder.empty()) return;
    std::error_code ec;
    std::filesystem::remove(folder / ("Zarn_127.0.0.1_" + std::to_string(port) + ".preset"), ec);
}

}  // namespace

int RunDemo(DriverLibrary& library, const DemoOptions& options, Console& console,
            std::string* error) {
    const Clock::time_point begin = Clock::now();
    std::error_code ec;
    std::filesystem::create_directories(options.outDir, ec);
    if (ec) {
        *error = "cannot create " + options.outDir + ": " + ec.message();
        return kExitFailure;
    }

    zarncam::Config config;
    config.user = "admin";
    config.password = "zarn-demo";
    config.auth = {zarncam::AuthScheme::kDigest, zarncam::AuthScheme::kBasic};
    zarncam::Camera camera(config);
    if (!camera.Start()) {
#ifdef _WIN32
        *error =
            "cannot start a simulated camera: the Windows build of zarnhost runs its demo on a "
            "`zarncam control` server named by ZARNCAM_CONTROL=127.0.0.1:PORT";
#else
        *error = "cannot start the zarncam simulator on a loopback port";
#endif
        return kExitFailure;
    }
    CameraTarget target;
    target.address = "127.0.0.1";
    target.port = camera.Port();
    target.user = config.user;
    target.password = config.password;

    console.Print("zarnhost demo: driver " + library.Path());
    console.Print("zarncam simulator on " + target.Endpoint() + " (user " + target.user +
                  ", Digest or Basic authentication)");

    // 1. Live video.
    console.Print("");
    console.Print("== 1. live video (the driver configures the encoder, waits 5 s, then streams)");
    StreamOptions stream;
    stream.camera = target;
    stream.seconds = options.videoSeconds;
    stream.timeoutSec = 15;
    stream.out = (std::filesystem::path(options.outDir) / "stream.h264").string();
#ifndef ZARNHOST_NO_DECODING
    stream.snapshot = (std::filesystem::path(options.outDir) / "snapshot.png").string();
#endif
    StreamResult streamed;
    int status = RunStream(library, stream, console, &streamed);
    if (status != kExitOk) {
        *error = "live video failed: " + streamed.error;
        camera.Stop();
        return status;
    }
    if (auto sent = camera.LastStreamConfig()) {
        console.Print("  camera encoded " + std::to_string(sent->width) + "x" +
                      std::to_string(sent->height) + " at " + std::to_string(sent->frameRate) +
                      " fps, " + std::to_string(sent->bitRateKbps) + " kbit/s");
    }

    // 2 and 3. PTZ and presets, through one open driver as a recording server keeps it.
    bool ok = true;
    if (!Interrupted()) {
        console.Print("");
        console.Print("== 2. PTZ: pan left for 600 ms, then stop");
        DriverSession session(library);
        talvane::IIPPTZApiEx* control = OpenPtzControl(session, target, true, console, error);
        if (control == nullptr) {
            session.Close();
            RemoveDemoPresetFile(session, target.port);
            camera.Stop();
            return kExitFailure;
        }
        PtzOptions ptz;
        ptz.camera = target;
        ptz.action = "move";
        ptz.direction = "left";
        ptz.forMs = 600;
        status = PtzAction(control, ptz, console, error);
        ok = status == kExitOk && ShowCameraRequest(camera, "Move=Left", console) &&
             ShowCameraRequest(camera, "Move=Stop", 1, console);

        if (ok && !Interrupted()) {
            console.Print("");
            console.Print("== 3. presets: store \"demo-home\", pan right, recall it");
            PresetOptions preset;
            preset.camera = target;
            preset.name = "demo-home";
            preset.action = "add";
            status = PresetAction(control, preset, console, error);
            if (status == kExitOk) {
                ptz.direction = "right";
                ptz.forMs = 300;
                status = PtzAction(control, ptz, console, error);
            }
            // The recall goes out after the stop, so that the stop does not end the recall.
            ok = status == kExitOk && ShowCameraRequest(camera, "Move=Stop", 2, console);
            for (const char* action : {"goto", "list", "delete"}) {
                if (!ok) break;
                preset.action = action;
                status = PresetAction(control, preset, console, error);
                ok = status == kExitOk;
            }
            ok = ok && ShowCameraRequest(camera, "Move=PresetSet", console) &&
                 ShowCameraRequest(camera, "Move=PresetCall", console);
        }
        session.Close();
        RemoveDemoPresetFile(session, target.port);
        if (status != kExitOk) {
            camera.Stop();
            return status;
        }
    }

    // 4. Capability query.
    if (!Interrupted()) {
        console.Print("");
        console.Print("== 4. capability query");
        ProbeOptions probe;
        probe.camera = target;
        status = RunProbe(library, probe, console, error);
        if (status != kExitOk) {
            camera.Stop();
            return status;
        }
    }
    camera.Stop();

    if (Interrupted()) {
        *error = "demo stopped by Ctrl-C";
        return kExitFailure;
    }
    if (!ok) {
        if (error->empty()) *error = "the camera did not receive every PTZ request (see above)";
        return kExitFailure;
    }
    const auto abs = [](const std::string& p) {
        std::error_code e;
        const auto a = std::filesystem::absolute(p, e);
        return e ? p : a.lexically_normal().string();
    };
    console.Print("");
    console.Print("demo finished in " + Seconds(begin) + ": " + std::to_string(streamed.frames) +
                  " frames, " + std::to_string(streamed.signalLosses) + " signal losses");
    console.Print("  video     " + abs(stream.out) + "  (raw H.264, e.g. ffplay " + stream.out +
                  ")");
    if (!stream.snapshot.empty()) {
        console.Print("  snapshot  " + abs(stream.snapshot) + "  (" +
                      std::to_string(streamed.snapshotWidth) + "x" +
                      std::to_string(streamed.snapshotHeight) + " PNG)");
    }
    return kExitOk;
}

}  // namespace zarnhost
