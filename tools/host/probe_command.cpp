#include "probe_command.h"

#include <chrono>
#include <nlohmann/json.hpp>

#include "exit_status.h"
#include "interrupt.h"

namespace zarnhost {

namespace {

// Capability ids the driver reports and what they mean to a host.
struct CapabilityName {
    int32_t id;
    const char* key;
    const char* label;
};
constexpr CapabilityName kCapabilities[] = {
    {0, "video_channels", "video channels"},
    {1, "ptz", "PTZ head"},
    {2, "alarm_inputs", "alarm inputs"},
    {3, "relay_outputs", "relay outputs"},
    {4, "audio", "audio"},
    {6, "format_6", "stream format 6"},
    {7, "format_7", "stream format 7"},
    {8, "h264", "H.264 stream"},
    {11, "capability_11", "capability 11"},
    {12, "capability_12", "capability 12"},
};

const char* ConnectionFieldName(int index) {
    switch (index) {
        case 1:
            return "address";
        case 2:
            return "port";
        case 3:
            return "user";
        default:
            return "password";
    }
}

std::string Pad(std::string text, size_t width) {
    if (text.size() < width) text.append(width - text.size(), ' ');
    return text;
}

}  // namespace

bool RunCapabilityQuery(DriverLibrary& library, const CameraTarget& camera, int timeoutSec,
                        zarntest::FakeCapabilityResult* result, QueryRun* run, std::string* error) {
    if (!library.HasCapabilityQuery()) {
        *error = "this driver build has no capability query (" + library.Path() + ")";
        return false;
    }
    zarntest::FakeCapabilityCallback callback;
    if (library.initQuery(&callback, false) == 0) {
        *error = "the driver refused to register the capability query callback";
        return false;
    }
    bool ok = true;
    if (library.startQuery(camera.address.c_str(), camera.port, camera.user.c_str(),
                           camera.password.c_str(), result) == 0) {
        *error = "the driver could not start the capability query";
        ok = false;
    } else {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSec);
        while (!callback.WaitForOutcome(std::chrono::milliseconds(100))) {
            if (Interrupted()) {
                library.terminateQuery();
                *error = "capability query stopped by Ctrl-C";
                ok = false;
                break;
            }
            if (std::chrono::steady_clock::now() >= deadline) {
                library.terminateQuery();
                *error = "the capability query of " + camera.Endpoint() +
                         " gave no answer within " + std::to_string(timeoutSec) + " s";
                ok = false;
                break;
            }
        }
    }
    // Ends the query thread; afterwards the driver no longer touches the callback or the result.
    library.uninitQuery();
    if (ok) {
        if (auto outcome = callback.Outcome()) {
            run->finished = true;
            run->outcome = *outcome;
        }
    }
    return ok;
}

std::string QueryFailureText(const CameraTarget& camera, const zarntest::QueryOutcome& outcome) {
    if (outcome.code == 1) {
        return "camera " + camera.Endpoint() + " rejected the user name or password";
    }
    return "capability query of " + camera.Endpoint() + " failed (code " +
           std::to_string(outcome.code) + ": " + outcome.message + ")";
}

namespace {

int Probe(DriverLibrary& library, const ProbeOptions& options, Console& console,
          std::string* error) {
    if (const std::string why = CheckReachable(options.camera, 3000); !why.empty()) {
        *error = "camera " + options.camera.Endpoint() + " unreachable: " + why;
        return kExitFailure;
    }
    zarntest::FakeCapabilityResult result;
    QueryRun run;
    if (!RunCapabilityQuery(library, options.camera, options.timeoutSec, &result, &run, error)) {
        return kExitFailure;
    }
    if (!run.finished) {
        *error =
            "the capability query of " + options.camera.Endpoint() + " ended without an answer";
        return kExitFailure;
    }
    if (!run.outcome.completed) {
        // The query reports a refusal at the HTTP level like any other failure (code 3).
        if (run.outcome.code != 1 && CredentialsRefused(CheckCredentials(options.camera, 10000))) {
            run.outcome.code = 1;
        }
        *error = QueryFailureText(options.camera, run.outcome);
        return kExitFailure;
    }

    const auto resolutions = result.Resolutions();
    const auto intervals = result.FrameIntervals();
    if (options.json) {
        nlohmann::ordered_json j;
        j["ok"] = true;
        j["camera"] = options.camera.Endpoint();
        j["model"] = result.Model().value_or("");
        nlohmann::ordered_json caps = nlohmann::ordered_json::object();
        for (const auto& c : kCapabilities) {
            if (auto v = result.Capability(c.id)) caps[c.key] = *v;
        }
        j["capabilities"] = caps;
        nlohmann::ordered_json res = nlohmann::ordered_json::array();
        for (const auto& r : resolutions) {
            res.push_back({{"text", r.text},
                           {"width", r.width},
                           {"height", r.height},
                           {"interval_ms", r.intervalMs}});
        }
        j["resolutions"] = res;
        j["frame_intervals_ms"] = intervals;
        if (auto d = result.DefaultFrameInterval()) j["default_frame_interval_ms"] = *d;
        nlohmann::ordered_json props = nlohmann::ordered_json::array();
        for (int i = 1; i <= 4; ++i) {
            const auto p = result.CustomProperty(i);
            if (!p.name) continue;
            props.push_back({{"name", *p.name}, {"value", p.value.value_or("")}});
        }
        j["custom_properties"] = props;
        nlohmann::ordered_json conn = nlohmann::ordered_json::object();
        for (int i = 1; i <= 4; ++i) {
            if (auto text = result.ConnectionField(i)) {
                conn[ConnectionFieldName(i)] = i == 4 ? std::string("***") : *text;
            }
        }
        j["connection"] = conn;
        console.Print(j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
        return kExitOk;
    }

    console.Print("camera " + options.camera.Endpoint());
    console.Print("  " + Pad("model", 18) + result.Model().value_or("(not reported)"));
    for (const auto& c : kCapabilities) {
        if (auto v = result.Capability(c.id)) {
            std::string value = std::to_string(*v);
            if (c.id == 1 || c.id == 4 || c.id >= 6) value = *v != 0 ? "yes" : "no";
            console.Print("  " + Pad(c.label, 18) + value);
        }
    }
    if (!result.Capability(1)) console.Print("  " + Pad("PTZ head", 18) + "no");
    std::string sizes;
    for (const auto& r : resolutions) {
        sizes += (sizes.empty() ? "" : ", ") + r.text + " @" + std::to_string(r.intervalMs) + " ms";
    }
    console.Print("  " + Pad("picture sizes", 18) + (sizes.empty() ? "(none)" : sizes));
    std::string periods;
    for (int32_t i : intervals) periods += (periods.empty() ? "" : " ") + std::to_string(i);
    if (auto d = result.DefaultFrameInterval()) periods += " (default " + std::to_string(*d) + ")";
    console.Print("  " + Pad("frame periods ms", 18) + (periods.empty() ? "(none)" : periods));
    for (int i = 1; i <= 4; ++i) {
        const auto p = result.CustomProperty(i);
        if (p.name) console.Print("  " + Pad(*p.name, 18) + p.value.value_or(""));
    }
    return kExitOk;
}

}  // namespace

int RunProbe(DriverLibrary& library, const ProbeOptions& options, Console& console,
             std::string* error) {
    const int status = Probe(library, options, console, error);
    if (status != kExitOk && options.json) {
        PrintJsonFailure(console, *error, options.camera.Endpoint());
    }
    return status;
}

}  // namespace zarnhost
