// zarnhost: the reference host of the Zarn HD IP capture driver. It loads the driver module with
// dlopen as a recording server does and drives video, PTZ, presets and the capability query from
// the command line; `zarnhost demo` does all of it against the built-in camera simulator.
#ifdef _WIN32
#include <winsock2.h>
#endif

#include <CLI/CLI.hpp>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "camera_target.h"
#include "cli_messages.h"
#include "console.h"
#include "demo_command.h"
#include "driver_library.h"
#include "exit_status.h"
#include "interrupt.h"
#include "output_file.h"
#include "password_input.h"
#include "probe_command.h"
#include "ptz_command.h"
#include "stream_command.h"
#include "support/fake_host.h"
#include "video_file_writer.h"
#include "watch_command.h"

namespace {

using namespace zarnhost;

// Decoding (snapshots, the decoded check, .mkv and .mp4) needs libavcodec, libavformat and libpng,
// which the Windows build goes without.
#ifdef ZARNHOST_NO_DECODING
constexpr bool kDecoding = false;
#else
constexpr bool kDecoding = true;
#endif

struct CommonOptions {
    std::string camera;
    std::string user = "admin";
    std::string password;
    std::string passwordFile;
    bool passwordGiven = false;  // --password or ZARNHOST_PASSWORD, even when empty
    int hd = 0;
    std::string driver;
};

void AddPasswordOptions(CLI::App* app, CommonOptions& o, const char* help) {
    auto* password = app->add_option("--password", o.password, help)
                         ->option_text("P")
                         ->envname("ZARNHOST_PASSWORD");
    app->add_option("--password-file", o.passwordFile,
                    "read the password from the first line of FILE (it stays out of ps)")
        ->option_text("FILE")
        ->excludes(password);
    app->callback([&o, password] { o.passwordGiven = password->count() > 0; });
}

void AddDriverOption(CLI::App* app, CommonOptions& o) {
    app->add_option("--driver", o.driver,
                    "driver module to load (default: beside zarnhost, else ../lib/zarn/)")
        ->option_text("PATH");
}

void AddCameraOptions(CLI::App* app, CommonOptions& o) {
    app->add_option("--camera", o.camera, "camera address; port 80 when left out")
        ->option_text("HOST[:PORT]")
        ->required();
    app->add_option("--user", o.user, "user name (default admin)")->option_text("U");
    AddPasswordOptions(app, o,
                       "password (or the ZARNHOST_PASSWORD variable; asked for on a terminal when "
                       "none is given)");
    app->add_option("--hd", o.hd, "1: the camera uses the high-definition size table")
        ->option_text("0|1")
        ->check(WholeNumber(0, 1));
    AddDriverOption(app, o);
}

// "WxH" into width and height; false for anything else or sizes outside 16..65535.
bool ParseSize(const std::string& text, int* width, int* height) {
    int w = 0;
    int h = 0;
    char extra = 0;
    if (std::sscanf(text.c_str(), "%d x %d %c", &w, &h, &extra) != 2 || w < 16 || h < 16 ||
        w > 65535 || h > 65535) {
        return false;
    }
    *width = w;
    *height = h;
    return true;
}

// zarnhost's version and build, and what the driver module at `driverPath` says of itself.
std::string VersionText(const std::string& driverPath) {
    std::string text = std::string("zarnhost ") + ZARN_VERSION + " (" + ZARN_BUILD_INFO + ")\n";
    DriverLibrary library;
    std::string error;
    if (!library.Load(driverPath, &error)) return text + "driver: " + error;
    const std::string version = library.Version();
    return text + "driver " + driverPath + ": " +
           (version.empty() ? std::string("a capture driver (the module carries no version)")
                            : "version " + version) +
           (library.HasCapabilityQuery() ? ", with the capability query" : "");
}

void PrintError(const std::string& message) {
    std::fprintf(stderr, "zarnhost: error: %s\n", message.c_str());
}

// Loads the driver module and turns the camera options into a target; prints the error itself
// and sets the exit status.
bool Prepare(const CommonOptions& o, bool needsCamera, DriverLibrary& library, CameraTarget* target,
             int* status) {
    *status = kExitFailure;
    std::string error;
    if (needsCamera) {
        auto parsed = ParseCameraAddress(o.camera, &error);
        if (!parsed) {
            PrintError(error);
            *status = kExitUsage;
            return false;
        }
        *target = *parsed;
        target->user = o.user;
        target->password = o.password;
        target->hd = o.hd != 0;
        if (!o.passwordFile.empty()) {
            auto read = ReadPasswordFile(o.passwordFile, &error);
            if (!read) {
                PrintError(error);
                *status = kExitUsage;
                return false;
            }
            target->password = *read;
        } else if (!o.passwordGiven) {
            if (auto typed =
                    PromptPassword("password for " + o.user + " at " + target->Endpoint() + ": ")) {
                target->password = *typed;
            }
        }
    }
    if (!library.Load(o.driver.empty() ? DriverLibrary::DefaultPath() : o.driver, &error)) {
        PrintError(error);
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
#ifdef _WIN32
    WSADATA winsock{};
    if (WSAStartup(MAKEWORD(2, 2), &winsock) != 0) {
        PrintError("cannot start Winsock");
        return kExitFailure;
    }
#endif
    // A slot the driver must never call is an ABI fault of the driver: report it and carry on.
    zarntest::SetUnexpectedSlotHandler([](const std::string& what) {
        std::fprintf(stderr, "zarnhost: warning: the driver called a reserved slot: %s\n",
                     what.c_str());
    });

    CLI::App app{kDecoding ? "zarnhost: reference host of the Zarn HD IP capture driver"
                           : "zarnhost: reference host of the Zarn HD IP capture driver (Windows "
                             "build: no decoding, so no snapshots and no .mkv or .mp4 files)"};
    app.require_subcommand(1);
    app.set_help_all_flag("--help-all", "help of every subcommand");
    app.set_version_flag(
        "--version", [&] { return VersionText(DriverLibrary::DefaultPath()); },
        "print the versions of zarnhost and of the driver module, and exit");
    bool verbose = false;
    app.add_flag("-v,--verbose", verbose,
                 "show every log record of the driver, the level-4 failures it keeps from hosts "
                 "included");

    CommonOptions common;
    StreamOptions stream;
    std::string size = "704x576";
    auto* streamCmd = app.add_subcommand("stream", "receive live video from channel 0");
    AddCameraOptions(streamCmd, common);
    streamCmd->add_option("--size", size, "picture size (default 704x576)")->option_text("WxH");
    streamCmd->add_option("--period", stream.periodMs, "frame period in ms (default 40)")
        ->option_text("MS")
        ->check(WholeNumber(1, 65535));
    streamCmd->add_option("--quality", stream.quality, "quality 0..100 (default 50)")
        ->option_text("Q")
        ->check(WholeNumber(0, 100));
    auto* secondsOpt = streamCmd
                           ->add_option("--seconds", stream.seconds,
                                        "stop after S seconds of video (from the first frame)")
                           ->option_text("S")
                           ->check(MoreThanZero());
    streamCmd->add_option("--frames", stream.frames, "stop after N frames")
        ->option_text("N")
        ->check(WholeNumber(1, int64_t{1} << 40))
        ->excludes(secondsOpt);
    streamCmd
        ->add_option("--out", stream.out,
                     kDecoding ? "write the frames to FILE: .mkv or .mp4 with the frames' time "
                                 "stamps, .h264 raw"
                               : "write the frames to FILE.h264 (raw; the Windows build has no "
                                 ".mkv or .mp4)")
        ->option_text("FILE")
        ->check(CLI::Validator(
            [](const std::string& path) {
                const auto format = VideoFileWriter::FormatFor(path);
                if (!format) {
                    return "unknown extension of \"" + path + "\" (use .mkv, .mp4 or .h264)";
                }
                if (!kDecoding && *format != VideoFileWriter::Format::kRawH264) {
                    return std::string(VideoFileWriter::kNoContainers);
                }
                return CheckCanCreate(path);
            },
            "", "video file"));
    streamCmd
        ->add_option("--snapshot", stream.snapshot,
                     kDecoding ? "write the newest picture as a PNG"
                               : "not in the Windows build (it does not decode video)")
        ->option_text("FILE.png")
        ->check(CLI::Validator(
            [](const std::string& path) {
                if (!kDecoding) {
                    return std::string(
                        "the Windows build of zarnhost does not decode video, so it takes no "
                        "snapshots");
                }
                return HasExtension(path, ".png")
                           ? CheckCanCreate(path)
                           : "the snapshot is a PNG picture: its name must end in .png";
            },
            "", "PNG file"));
    streamCmd->add_flag("--json", stream.json, "print the summary as one JSON object");
    streamCmd
        ->add_option("--timeout", stream.timeoutSec,
                     "seconds allowed for the first frame (default 20)")
        ->option_text("S")
        ->check(WholeNumber(1, 3600));

    PtzOptions ptz;
    auto* ptzCmd = app.add_subcommand("ptz", "move the camera's head");
    AddCameraOptions(ptzCmd, common);
    ptzCmd->require_subcommand(1);
    ptzCmd->fallthrough();
    auto* moveCmd = ptzCmd->add_subcommand("move", "start a motion");
    std::string directions;
    for (const auto& d : PtzDirectionNames()) directions += (directions.empty() ? "" : "|") + d;
    moveCmd->add_option("direction", ptz.direction, directions)
        ->required()
        ->option_text("DIRECTION")
        ->check(OneOf(PtzDirectionNames()));
    moveCmd->add_option("--speed", ptz.speed, "speed 1 (slowest) .. 16 (default 8)")
        ->option_text("1..16")
        ->check(WholeNumber(1, 16));
    moveCmd
        ->add_option("--for", ptz.forMs,
                     "stop again after MS milliseconds (default: keep moving until ptz stop)")
        ->option_text("MS")
        ->check(WholeNumber(1, 3600000));
    auto* stopCmd = ptzCmd->add_subcommand(
        "stop", "stop every motion (sent as a brief focus motion and its stop)");

    PresetOptions preset;
    auto* presetCmd = app.add_subcommand("preset", "store, recall, delete and list presets");
    AddCameraOptions(presetCmd, common);
    presetCmd->require_subcommand(1);
    presetCmd->fallthrough();
    const std::pair<const char*, const char*> presetActions[] = {
        {"add", "store the current position under NAME"},
        {"goto", "move to the preset NAME"},
        {"delete", "delete the preset NAME"}};
    for (const auto& [action, help] : presetActions) {
        auto* sub = presetCmd->add_subcommand(action, help);
        sub->add_option("name", preset.name, "preset name")->option_text("NAME")->required();
    }
    presetCmd->add_subcommand("list", "list the stored presets")
        ->add_flag("--json", preset.json, "print one JSON object");

    ProbeOptions probe;
    auto* probeCmd = app.add_subcommand("probe", "run the capability query and print the result");
    AddCameraOptions(probeCmd, common);
    probeCmd->add_flag("--json", probe.json, "print one JSON object");

    WatchOptions watch;
    std::vector<std::string> watchCameras;
    std::string watchList;
    std::string watchSize = "704x576";
    auto* watchCmd = app.add_subcommand(
        "watch", "stream from many cameras at once, with a table refreshed every second");
    watchCmd->add_option("--camera", watchCameras, "a camera; repeat for each camera")
        ->option_text("HOST[:PORT]");
    watchCmd
        ->add_option("--cameras", watchList,
                     "file with one camera per line: HOST[:PORT] [USER [PASSWORD]]")
        ->option_text("FILE")
        ->check(CLI::ExistingFile.description(""));
    watchCmd->add_option("--user", common.user, "user name of cameras without one (default admin)")
        ->option_text("U");
    AddPasswordOptions(watchCmd, common,
                       "password of cameras without one (or the ZARNHOST_PASSWORD variable)");
    watchCmd->add_option("--hd", common.hd, "1: the cameras use the high-definition size table")
        ->option_text("0|1")
        ->check(WholeNumber(0, 1));
    watchCmd->add_option("--size", watchSize, "picture size (default 704x576)")->option_text("WxH");
    watchCmd->add_option("--period", watch.periodMs, "frame period in ms (default 40)")
        ->option_text("MS")
        ->check(WholeNumber(1, 65535));
    watchCmd->add_option("--quality", watch.quality, "quality 0..100 (default 50)")
        ->option_text("Q")
        ->check(WholeNumber(0, 100));
    watchCmd->add_option("--seconds", watch.seconds, "stop after S seconds (default: at Ctrl-C)")
        ->option_text("S")
        ->check(MoreThanZero());
    watchCmd->add_flag("--json", watch.json,
                       "no table; at the end one JSON object per camera, one per line");
    AddDriverOption(watchCmd, common);

    DemoOptions demo;
    auto* demoCmd = app.add_subcommand(
        "demo", "run everything against the built-in camera simulator (about 15 s)");
    demoCmd
        ->add_option("--out-dir", demo.outDir,
                     "where stream.h264 and snapshot.png go (default demo-out)")
        ->option_text("DIR");
    AddDriverOption(demoCmd, common);

    // -v also after a subcommand's own options.
    for (CLI::App* sub : app.get_subcommands([](CLI::App*) { return true; })) {
        sub->fallthrough();
        for (CLI::App* inner : sub->get_subcommands([](CLI::App*) { return true; })) {
            inner->fallthrough();
        }
    }

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        std::printf("%s\n", e.what());
        return kExitOk;
    } catch (const CLI::ParseError& e) {
        if (argc > 1 && argv[1][0] != '-' && app.get_subcommands().empty()) {
            PrintError(std::string("unknown subcommand \"") + argv[1] + "\" (see zarnhost --help)");
            return kExitUsage;
        }
        PrintError(UsageErrorText(e) + " (see zarnhost --help)");
        return kExitUsage;
    }

    InstallInterruptHandler();
    Console console(stdout);
    DriverLibrary library;
    library.diagnosticLog = verbose;
    CameraTarget target;
    std::string error;
    int status = kExitOk;

    if (streamCmd->parsed()) {
        if (!ParseSize(size, &stream.width, &stream.height)) {
            PrintError("bad --size \"" + size + "\": expected WxH, for example 704x576");
            return kExitUsage;
        }
        if (!Prepare(common, true, library, &target, &status)) return status;
        stream.camera = target;
        console.ChooseStatusMode(Console::StatusMode::kOff);
        if (stream.json) console.SetStatusMode(Console::StatusMode::kOff);
        StreamResult result;
        status = RunStream(library, stream, console, &result);
        if (status != kExitOk) error = result.error;
    } else if (ptzCmd->parsed()) {
        if (!Prepare(common, true, library, &target, &status)) return status;
        ptz.camera = target;
        ptz.action = stopCmd->parsed() ? "stop" : "move";
        status = RunPtz(library, ptz, console, &error);
    } else if (presetCmd->parsed()) {
        if (!Prepare(common, true, library, &target, &status)) return status;
        preset.camera = target;
        for (auto* sub : presetCmd->get_subcommands()) preset.action = sub->get_name();
        status = RunPreset(library, preset, console, &error);
    } else if (probeCmd->parsed()) {
        if (!Prepare(common, true, library, &target, &status)) return status;
        probe.camera = target;
        status = RunProbe(library, probe, console, &error);
    } else if (watchCmd->parsed()) {
        if (!ParseSize(watchSize, &watch.width, &watch.height)) {
            PrintError("bad --size \"" + watchSize + "\": expected WxH, for example 704x576");
            return kExitUsage;
        }
        CameraTarget defaults;
        defaults.user = common.user;
        defaults.password = common.password;
        if (!common.passwordFile.empty()) {
            auto read = ReadPasswordFile(common.passwordFile, &error);
            if (!read) {
                PrintError(error);
                return kExitUsage;
            }
            defaults.password = *read;
        }
        defaults.hd = common.hd != 0;
        std::string text;
        std::vector<std::string> warnings;
        for (const auto& camera : watchCameras) text += camera + "\n";
        std::istringstream given(text);
        if (!watchCameras.empty()) {
            std::vector<std::string> givenWarnings;
            auto cameras = ParseCameraList(given, defaults, &error, &givenWarnings);
            for (const auto& w : givenWarnings) {
                warnings.push_back("--camera " + w.substr(w.find(": ") + 2));
            }
            if (!cameras) {
                PrintError("bad --camera: " + error.substr(error.find(": ") + 2));
                return kExitUsage;
            }
            watch.cameras = *cameras;
        }
        if (!watchList.empty()) {
            std::ifstream file(watchList);
            std::vector<std::string> fileWarnings;
            auto cameras = ParseCameraList(file, defaults, &error, &fileWarnings);
            for (const auto& w : fileWarnings) warnings.push_back(watchList + ": " + w);
            if (!cameras) {
                PrintError(watchList + ": " + error);
                return kExitUsage;
            }
            watch.cameras.insert(watch.cameras.end(), cameras->begin(), cameras->end());
        }
        for (const auto& w : warnings) {
            std::fprintf(stderr, "zarnhost: warning: %s\n", w.c_str());
        }
        if (watch.cameras.empty()) {
            PrintError("watch needs --camera or --cameras (see zarnhost watch --help)");
            return kExitUsage;
        }
        if (!Prepare(common, false, library, &target, &status)) return status;
        watch.showLog = verbose;
        console.ChooseStatusMode(Console::StatusMode::kLines);
        status = RunWatch(library, watch, console, &error);
    } else if (demoCmd->parsed()) {
        if (!Prepare(common, false, library, &target, &status)) return status;
        console.ChooseStatusMode(Console::StatusMode::kLines);
        status = RunDemo(library, demo, console, &error);
    }
    if (status != kExitOk && !error.empty()) PrintError(error);
    return status;
}
