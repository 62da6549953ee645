#include "ptz_command.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>
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

// Runs `work` (which opens the driver, acts and closes it) on a thread of its own while this thread
// watches for Ctrl-C. A slow or silent camera holds the driver's requests for many seconds; after
// Ctrl-C the work gets `graceMs` to finish (a stop it queued may still go out), then the program
// ends at once. The driver writes its preset file by renaming a complete new file over the old
// one, so ending in the middle of a request loses at most that request.
int RunUnlessInterrupted(const std::function<int(std::string*)>& work, int graceMs,
                         std::string* error) {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    int status = kExitFailure;
    std::string workError;
    std::thread worker([&] {
        std::string e;
        const int s = work(&e);
        std::lock_guard<std::mutex> lock(mutex);
        status = s;
        workError = std::move(e);
        finished = true;
        done.notify_one();
    });
    std::unique_lock<std::mutex> lock(mutex);
    while (!done.wait_for(lock, std::chrono::milliseconds(50), [&] { return finished; })) {
        if (!Interrupted()) continue;
        if (done.wait_for(lock, std::chrono::milliseconds(graceMs), [&] { return finished; })) {
            break;
        }
        std::fflush(stdout);
        std::fputs("zarnhost: error: stopped by Ctrl-C while the camera had not answered\n",
                   stderr);
        std::fflush(stderr);
        std::_Exit(kExitFailure);
    }
    lock.unlock();
    worker.join();
    *error = workError;
    return status;
}

}  // namespace

talvane::IIPPTZApiEx* OpenPtzControl(DriverSession& session, const CameraTarget& camera,
                                     bool checkLogin, Console& console, std::string* error,
                                     bool echoLog) {
    if (echoLog) {
        session.SetEcho([&console](const zarntest::LogRecord& r) {
            console.Print(DriverSession::FormatRecord(r));
        });
    }
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
        if (echoLog) {
            console.Print("zarnhost keeps preset files in " + presets.folder + " (" +
                          presets.programFolder + " is not writable)");
        }
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
    // Motion requests are refused on the PTZ thread, preset recalls and deletions on the caller's.
    static const std::string kComm = "CZarnHDPTZComm::";
    static const std::string kMark = ": the camera ";
    for (const auto& record : records) {
        const size_t comm = record.text.find(kComm);
        if (record.level != 4 || comm == std::string::npos) continue;
        const size_t at = record.text.find(kMark, comm);
        if (at != std::string::npos &&
            record.text.compare(at + kMark.size(), 17, "did not carry out") == 0) {
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
    return RunUnlessInterrupted(
        [&](std::string* workError) {
            DriverSession session(library);
            // The driver logs a request the camera refused at level 4, the only word of it a
            // host gets.
            session.KeepQuietFailures();
            talvane::IIPPTZApiEx* control =
                OpenPtzControl(session, options.camera, options.checkLogin, console, workError);
            if (control == nullptr) return kExitFailure;
            const int status = PtzAction(control, options, console, workError);
            if (status != kExitOk) return status;
            // The PTZ thread sends queued requests after the call returned; closing the driver
            // would drop one that has not gone out yet (a stop is still sent, and waited for, by
            // the close).
            std::this_thread::sleep_for(std::chrono::milliseconds(options.settleMs));
            session.Close();
            if (const std::string refusal = PtzRefusal(session.Records()); !refusal.empty()) {
                *workError = "camera " + options.camera.Endpoint() + " " + refusal;
                return kExitFailure;
            }
            return kExitOk;
        },
        options.settleMs + 500, error);
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
        if (!options.json) {
            console.Print("presets of " + options.camera.Endpoint() + ": " +
                          std::to_string(count < 0 ? 0 : count));
        }
        nlohmann::ordered_json presets = nlohmann::ordered_json::array();
        for (int32_t i = 0; i < count && i < 1024; ++i) {
            char buffer[256] = {};
            if (control->GetPresetName(i, buffer, sizeof buffer) != talvane::kPtzOk) continue;
            const bool isCurrent = hasCurrent && std::string(buffer) == current;
            presets.push_back({{"number", i + 1}, {"name", buffer}, {"current", isCurrent}});
            if (!options.json) {
                console.Print("  " + std::to_string(i + 1) + ". " + buffer +
                              (isCurrent ? "   (current position)" : ""));
            }
        }
        if (options.json) {
            nlohmann::ordered_json j;
            j["ok"] = true;
            j["camera"] = options.camera.Endpoint();
            j["presets"] = std::move(presets);
            console.Print(j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
        }
    }
    if (result != talvane::kPtzOk) {
        *error = "preset " + options.action + " \"" + name + "\" failed: " + PtzResultText(result);
        if (result == talvane::kPtzFailed && options.action == "add") {
            // The driver stores a preset only once the camera has taken it.
            *error = "camera " + options.camera.Endpoint() + " did not store preset \"" + name +
                     "\": it refused or did not answer the request";
        }
        if (result == talvane::kPtzInvalidArgument) {
            *error +=
                "; the driver refuses the name: a preset name has 1 to 255 bytes of UTF-8, "
                "without control characters, quotes or any of & ! < >";
        }
        return kExitFailure;
    }
    return kExitOk;
}

namespace {
int RunPresetCommand(DriverLibrary& library, const PresetOptions& options, Console& console,
                     std::string* error);
}  // namespace

int RunPreset(DriverLibrary& library, const PresetOptions& options, Console& console,
              std::string* error) {
    const int status = RunPresetCommand(library, options, console, error);
    if (status != kExitOk && options.json) {
        PrintJsonFailure(console, *error, options.camera.Endpoint());
    }
    return status;
}

namespace {
int RunPresetCommand(DriverLibrary& library, const PresetOptions& options, Console& console,
                     std::string* error) {
    return RunUnlessInterrupted(
        [&](std::string* workError) {
            DriverSession session(library);
            session.KeepQuietFailures();
            talvane::IIPPTZApiEx* control = OpenPtzControl(
                session, options.camera, options.checkLogin, console, workError, !options.json);
            if (control == nullptr) return kExitFailure;
            const int status = PresetAction(control, options, console, workError);
            session.Close();
            // A PTZ request of the driver's that the camera refused meanwhile is the better
            // reason.
            if (const std::string refusal = PtzRefusal(session.Records()); !refusal.empty()) {
                *workError = "camera " + options.camera.Endpoint() + " " + refusal;
                return kExitFailure;
            }
            return status;
        },
        0, error);
}
}  // namespace

}  // namespace zarnhost
