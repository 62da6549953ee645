#include "ptz_command.h"

#include <chrono>
#include <thread>

#include "driver_session.h"
#include "exit_status.h"
#include "interrupt.h"

namespace zarnhost {

namespace {

// Sleeps up to `ms`, returning early (false) on Ctrl-C.
bool SleepUnlessInterrupted(int ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < deadline) {
        if (Interrupted()) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

}  // namespace

talvane::IIPPTZApiEx* OpenPtzControl(DriverSession& session, const CameraTarget& camera,
                                     bool checkLogin, Console& console, std::string* error) {
    session.SetEcho([&console](const zarntest::LogRecord& r) {
        console.Print(DriverSession::FormatRecord(r));
    });
    if (const std::string why = CheckReachable(camera, 3000); !why.empty()) {
        *error = "camera " + camera.Endpoint() + " unreachable: " + why;
        return nullptr;
    }
    // A refused PTZ request is only known after the fact (and a stop-only command would not say
    // why): check the credentials first.
    if (checkLogin && CredentialsRefused(CheckCredentials(camera, 10000))) {
        *error = "camera " + camera.Endpoint() + " rejected the user name or password";
        return nullptr;
    }
    // The driver keeps its preset file beside the host program unless told otherwise; an
    // installed zarnhost sits in a folder that only root may write, so it names a folder of the
    // user's own.
    const PresetFolderChoice presets = ChoosePresetFolder();
    if (!presets.folder.empty()) {
        session.SetPresetFolder(presets.folder);
        console.Print("zarnhost keeps preset files in " + presets.folder + " (" +
                      presets.programFolder + " is not writable)");
    }
    if (!session.Open(camera, error)) return nullptr;
    talvane::IIPPTZApiEx* control = session.PtzControl();
    if (control == nullptr) {
        *error = "the driver offers no PTZ control for camera " + camera.Endpoint();
        *error += !presets.programWritable && presets.folder.empty()
                      ? ": " + presets.programFolder +
                            " is not writable and neither XDG_STATE_HOME nor HOME names a "
                            "folder for the preset file"
                      : std::string(" (see the driver's log above)");
        return nullptr;
    }
    return control;
}

std::string PtzRefusal(const std::vector<zarntest::LogRecord>& records) {
    static const std::string kMark = "CZarnHDPTZComm::ProcessItem: the camera ";
    for (const auto& record : records) {
        const size_t at = record.text.find(kMark);
        if (record.level == 4 && at != std::string::npos) {
            return record.text.substr(at + kMark.size());
        }
    }
    return std::string();
}

const std::vector<std::string>& PtzDirectionNames() {
    static const std::vector<std::string> kNames = {
        "left",       "right",   "up",       "down",       "up-left",   "up-right",  "down-left",
        "down-right", "zoom-in", "zoom-out", "focus-near", "focus-far", "iris-open", "iris-close"};
    return kNames;
}

std::string PtzResultText(int32_t code) {
    switch (code) {
        case talvane::kPtzOk:
            return "done";
        case talvane::kPtzInvalidArgument:
            return "invalid argument (-3)";
        case talvane::kPtzFailed:
            return "failed or not available (-18)";
        case talvane::kPtzNotSupported:
            return "not supported by the camera (-19)";
        case talvane::kPtzPresetFailed:
            return "preset operation failed (-23)";
        case talvane::kPtzPresetLimit:
            return "preset limit reached (-26)";
        default:
            return "result " + std::to_string(code);
    }
}

int PtzAction(talvane::IIPPTZApiEx* control, const PtzOptions& options, Console& console,
              std::string* error) {
    if (control->IsPtzSupported() == 0) {
        *error = "camera " + options.camera.Endpoint() + " has no PTZ head";
        return kExitFailure;
    }
    int32_t result = talvane::kPtzOk;
    if (options.action == "stop") {
        // The driver sends a stop only for a motion this control started; a new process has
        // started none, so it starts the least visible motion (focus) and stops it at once.
        result = control->FocusNear(1);
        if (result == talvane::kPtzOk) result = control->Stop();
        if (result != talvane::kPtzOk) {
            *error = "PTZ stop refused by the driver: " + PtzResultText(result);
            return kExitFailure;
        }
        console.Print("ptz: stop sent to " + options.camera.Endpoint());
    } else {
        const std::string& d = options.direction;
        const int speed = options.speed;
        if (d == "focus-near") {
            result = control->FocusNear(speed);
        } else if (d == "focus-far") {
            result = control->FocusFar(speed);
        } else if (d == "iris-open") {
            result = control->IrisOpen(speed);
        } else if (d == "iris-close") {
            result = control->IrisClose(speed);
        } else {
            const auto& names = PtzDirectionNames();
            int32_t direction = -1;
            for (size_t i = 0; i < 10; ++i) {
                if (names[i] == d) direction = static_cast<int32_t>(i);
            }
            if (direction < 0) {
                *error = "unknown PTZ direction \"" + d + "\"";
                return kExitFailure;
            }
            result = control->Move(direction, speed);
        }
        if (result != talvane::kPtzOk) {
            *error = "PTZ " + d + " refused by the driver: " + PtzResultText(result);
            return kExitFailure;
        }
        console.Print("ptz: " + d + " at speed " + std::to_string(speed) + " sent to " +
                      options.camera.Endpoint());
        if (options.forMs > 0) {
            const bool full = SleepUnlessInterrupted(options.forMs);
            result = control->Stop();
            if (result != talvane::kPtzOk) {
                *error = "PTZ stop refused by the driver: " + PtzResultText(result);
                return kExitFailure;
            }
            console.Print(full ? "ptz: stopped after " + std::to_string(options.forMs) + " ms"
                               : std::string("ptz: stopped (Ctrl-C)"));
        }
    }
    return kExitOk;
}

int RunPtz(DriverLibrary& library, const PtzOptions& options, Console& console,
           std::string* error) {
    DriverSession session(library);
    // The driver logs a request the camera refused at level 4, the only word of it a host gets.
    session.KeepQuietFailures();
    talvane::IIPPTZApiEx* control =
        OpenPtzControl(session, options.camera, options.checkLogin, console, error);
    if (control == nullptr) return kExitFailure;
    const int status = PtzAction(control, options, console, error);
    if (status != kExitOk) return status;
    // The PTZ thread sends queued requests after the call returned; closing the driver would
    // drop one that has not gone out yet (a stop is still sent, and waited for, by the close).
    std::this_thread::sleep_for(std::chrono::milliseconds(options.settleMs));
    session.Close();
    if (const std::string refusal = PtzRefusal(session.Records()); !refusal.empty()) {
        *error = "camera " + options.camera.Endpoint() + " " + refusal;
        return kExitFailure;
    }
    return kExitOk;
}

int PresetAction(talvane::IIPPTZApiEx* control, const PresetOptions& options, Console& console,
                 std::string* error) {
    const std::string& name = options.name;
    int32_t result = talvane::kPtzOk;
    if (options.action == "add") {
        result = control->AddPreset(name.c_str());
        if (result == talvane::kPtzOk) console.Print("preset: stored \"" + name + "\"");
    } else if (options.action == "goto") {
        result = control->GotoPreset(0, name.c_str());
        if (result == talvane::kPtzOk) console.Print("preset: moving to \"" + name + "\"");
    } else if (options.action == "delete") {
        result = control->DeletePreset(name.c_str());
        if (result == talvane::kPtzOk) console.Print("preset: deleted \"" + name + "\"");
    } else {
        const int32_t count = control->GetPresetCount();
        char current[256] = {};
        const bool hasCurrent =
            control->GetCurrentPresetName(current, sizeof current) == talvane::kPtzOk;
        console.Print("presets of " + options.camera.Endpoint() + ": " +
                      std::to_string(count < 0 ? 0 : count));
        for (int32_t i = 0; i < count && i < 1024; ++i) {
            char buffer[256] = {};
            if (control->GetPresetName(i, buffer, sizeof buffer) != talvane::kPtzOk) continue;
            const bool isCurrent = hasCurrent && std::string(buffer) == current;
            console.Print("  " + std::to_string(i + 1) + ". " + buffer +
                          (isCurrent ? "   (current position)" : ""));
        }
    }
    if (result != talvane::kPtzOk) {
        *error = "preset " + options.action + " \"" + name + "\" failed: " + PtzResultText(result);
        return kExitFailure;
    }
    return kExitOk;
}

int RunPreset(DriverLibrary& library, const PresetOptions& options, Console& console,
              std::string* error) {
    DriverSession session(library);
    talvane::IIPPTZApiEx* control =
        OpenPtzControl(session, options.camera, options.checkLogin, console, error);
    if (control == nullptr) return kExitFailure;
    return PresetAction(control, options, console, error);
}

}  // namespace zarnhost
