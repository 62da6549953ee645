// zarncam: runs the virtual camera on 127.0.0.1 until Ctrl-C (or SIGTERM).
//
// Prints "zarncam listening on port N" once it is ready. Faults can be switched while it runs by
// typing commands on standard input (one per line, "help" lists them).
//
// `zarncam control` runs the control server instead: programs in other processes (the Windows
// test builds under Wine) create and drive any number of cameras in this one through it. It
// prints "zarncam control server listening on port N" once it is ready.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>

#include "camsim.h"
#include "control_server.h"

namespace {

volatile std::sig_atomic_t g_stopRequested = 0;

void OnSignal(int) {
    g_stopRequested = 1;
}

// The request target with the value of every Password parameter replaced, for the request log.
std::string MaskPassword(const std::string& target) {
    std::string out = target;
    std::size_t pos = 0;
    while ((pos = out.find("Password=", pos)) != std::string::npos) {
        pos += 9;
        const std::size_t end = out.find('&', pos);
        out.replace(pos, end == std::string::npos ? std::string::npos : end - pos, "***");
    }
    return out;
}

const char* kHelp =
    "commands: stall on|off, trickle on|off, garbage on|off, endless401 on|off,\n"
    "          refuse on|off, foreign on|off, delay <ms>, error <prefix> <status>, error off,\n"
    "          drop (the next part), drop <n> (every stream after n parts; 0: off),\n"
    "          huge, reboot <seconds>, pause <ms> (streams hold their pictures, then send\n"
    "          them at once), stats, quit\n";

// Applies one command line; false on "quit".
bool RunCommand(zarncam::Camera& camera, const std::string& line) {
    std::istringstream in(line);
    std::string command;
    std::string arg;
    in >> command >> arg;
    const bool on = arg == "on";
    if (command.empty()) return true;
    if (command == "quit" || command == "exit") return false;
    if (command == "stall") {
        camera.UpdateFaults([on](zarncam::Faults& f) { f.stall = on; });
    } else if (command == "trickle") {
        camera.UpdateFaults([on](zarncam::Faults& f) { f.trickle = on; });
    } else if (command == "garbage") {
        camera.UpdateFaults([on](zarncam::Faults& f) {
            f.garbageBeforeFirstPart = on;
            f.garbageBetweenParts = on;
        });
    } else if (command == "endless401") {
        camera.UpdateFaults([on](zarncam::Faults& f) { f.endless401 = on; });
    } else if (command == "refuse") {
        camera.UpdateFaults([on](zarncam::Faults& f) { f.refuseConnections = on; });
    } else if (command == "foreign") {
        camera.UpdateFaults([on](zarncam::Faults& f) { f.foreignParts = on; });
    } else if (command == "reboot") {
        const double seconds = std::clamp(std::atof(arg.c_str()), 0.0, 3600.0);
        camera.Reboot(std::chrono::milliseconds(static_cast<int64_t>(seconds * 1000)));
    } else if (command == "pause") {
        const int ms = std::clamp(std::atoi(arg.c_str()), 0, 3600 * 1000);
        camera.PauseStreams(std::chrono::milliseconds(ms));
    } else if (command == "delay") {
        const int ms = std::atoi(arg.c_str());
        camera.UpdateFaults([ms](zarncam::Faults& f) { f.cgiDelayMs = ms; });
    } else if (command == "error") {
        int status = 500;
        in >> status;
        const std::string prefix = arg == "off" ? std::string() : arg;
        camera.UpdateFaults([&](zarncam::Faults& f) {
            f.errorPathPrefix = prefix;
            f.errorStatus = status;
        });
    } else if (command == "drop") {
        if (arg.empty()) {
            camera.DropNextPart();
        } else {
            const std::size_t parts = std::strtoul(arg.c_str(), nullptr, 10);
            camera.UpdateFaults([parts](zarncam::Faults& f) { f.dropAfterParts = parts; });
        }
    } else if (command == "huge") {
        camera.InjectHugeLength();
    } else if (command == "stats") {
        const zarncam::Stats s = camera.GetStats();
        std::printf(
            "streams %llu active %llu frames %llu key %llu parts %llu bytes %llu reboots %llu "
            "chaos events %llu\n",
            static_cast<unsigned long long>(s.streamsStarted),
            static_cast<unsigned long long>(s.streamsActive),
            static_cast<unsigned long long>(s.framesSent),
            static_cast<unsigned long long>(s.keyFramesSent),
            static_cast<unsigned long long>(s.partsSent),
            static_cast<unsigned long long>(s.bytesSent),
            static_cast<unsigned long long>(s.reboots),
            static_cast<unsigned long long>(s.chaosEvents));
    } else {
        std::fputs(kHelp, stdout);
    }
    std::fflush(stdout);
    return true;
}

// Exit statuses: 0 stopped by a signal or "quit", 1 the camera could not start (the port), 2 a
// bad command line.
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

void PrintError(const std::string& message) {
    std::fprintf(stderr, "zarncam: error: %s\n", message.c_str());
}

// Why 127.0.0.1:`port` cannot be listened on, found by trying to bind it as the camera does
// ("address in use", "permission denied"); a general line when it can be bound after all.
std::string ListenFailure(uint16_t port) {
    std::string reason = "the port could not be opened";
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd >= 0) {
        const int on = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
            reason = errno == EADDRINUSE ? "address in use (another program listens there)"
                                         : std::strerror(errno);
        }
        ::close(fd);
    }
    return "cannot listen on 127.0.0.1:" + std::to_string(port) + ": " + reason;
}

// Runs the control server until SIGINT or SIGTERM.
int RunControlServer(uint16_t port) {
    zarncam::ControlServer server;
    if (!server.Start(port)) {
        PrintError(ListenFailure(port));
        return kExitFailure;
    }
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    std::printf("zarncam control server listening on port %u\n",
                static_cast<unsigned>(server.Port()));
    std::fflush(stdout);
    while (g_stopRequested == 0) ::poll(nullptr, 0, 100);
    server.Stop();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"zarncam: virtual Zarn HD IP camera on 127.0.0.1"};
    zarncam::Config config;
    zarncam::Faults faults;
    int port = 0;
    std::string auth = "basic";
    bool digest = false;
    bool noProductId = false;
    bool verbose = false;
    app.add_option("--port", port, "TCP port (0: any free port)")->check(CLI::Range(0, 65535));
    app.add_option("--user", config.user, "user name");
    app.add_option("--password", config.password, "password");
    app.add_option("--auth", auth,
                   "schemes offered, in order: none, basic, digest, basic,digest, digest,basic");
    app.add_flag("--digest", digest, "offer Digest only (same as --auth digest)");
    app.add_flag("--hd", config.hd, "HD camera: HD resolution table, HD=1");
    app.add_option("--realm", config.realm, "authentication realm");
    app.add_option("--frame-period", config.framePeriodMs,
                   "send a picture every MS ms whatever frame rate the driver sets (0: follow it)")
        ->check(CLI::Range(0, 10000));
    app.add_flag("--interlaced", config.encoder.interlaced,
                 "code the pictures interlaced (MBAFF, main profile)");
    app.add_flag("--aud", config.encoder.accessUnitDelimiters,
                 "send an access unit delimiter in front of every picture");
    app.add_option("--max-payload", config.maxPayload, "payload bytes per stream part")
        ->check(CLI::Range(16, 1 << 20));
    app.add_option("--product-id", config.capabilities.productId, "ProductID reported");
    app.add_flag("--no-product-id", noProductId, "leave ProductID out of the capability list");
    app.add_option("--version-text", config.capabilities.version, "Version reported");
    app.add_option("--cgi-delay-ms", faults.cgiDelayMs, "delay every answer")
        ->check(CLI::Range(0, 600000));
    app.add_flag("--trickle", faults.trickle, "send the stream a few bytes at a time");
    app.add_flag("--garbage", faults.garbageBetweenParts, "junk bytes between stream parts");
    app.add_flag("--endless-401", faults.endless401, "answer 401 to everything");
    app.add_option("--drop-after-parts", faults.dropAfterParts,
                   "cut every stream in the middle of the part after this many");
    app.add_option("--error-prefix", faults.errorPathPrefix, "answer errors for this path prefix");
    app.add_option("--error-status", faults.errorStatus, "status for --error-prefix");
    app.add_option("--loop", config.loopSeconds,
                   "encode this many seconds once and loop them to every stream (0: live)")
        ->check(CLI::Range(0, 120));
    uint64_t chaosSeed = 0;
    CLI::Option* chaos = app.add_option(
        "--chaos", chaosSeed,
        "misbehave on its own, reproducibly from SEED: every stream runs healthy for a while, then "
        "meets a fault (end, drop, stall, junk, trickle, non-H.264 bytes, huge length, 401 or 500 "
        "spell, refused connections, reboot), then the next");
    app.add_option("--chaos-time-scale", config.chaosTimeScale,
                   "multiply every chaos duration (healthy 5..40 s, faults 2..20 s) by this")
        ->check(CLI::Range(0.001, 1000.0));
    app.add_flag("-v,--verbose", verbose,
                 "print every request (passwords masked) and every outage the camera causes");

    int controlPort = 0;
    CLI::App* control = app.add_subcommand(
        "control",
        "run no camera, but a control server on 127.0.0.1 through which other processes create "
        "and drive cameras here (one JSON request per line over TCP; a program built with the "
        "remote camera library finds it through ZARNCAM_CONTROL=127.0.0.1:PORT)");
    control->add_option("--port", controlPort, "TCP port of the control server (0: any free port)")
        ->check(CLI::Range(0, 65535));
    app.set_version_flag("--version",
                         std::string("zarncam ") + ZARN_VERSION + " (" + ZARN_BUILD_INFO + ")");
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        std::printf("%s\n", e.what());
        return 0;
    } catch (const CLI::ParseError& e) {
        PrintError(std::string(e.what()) + " (see zarncam --help)");
        return kExitUsage;
    }
    if (control->parsed()) return RunControlServer(static_cast<uint16_t>(controlPort));

    config.port = static_cast<uint16_t>(port);
    if (chaos->count() > 0) config.chaosSeed = chaosSeed;
    if (digest) auth = "digest";
    if (noProductId) config.capabilities.productId.reset();
    faults.garbageBeforeFirstPart = faults.garbageBetweenParts;
    std::stringstream schemes(auth);
    std::string scheme;
    while (std::getline(schemes, scheme, ',')) {
        if (scheme == "basic") {
            config.auth.push_back(zarncam::AuthScheme::kBasic);
        } else if (scheme == "digest") {
            config.auth.push_back(zarncam::AuthScheme::kDigest);
        } else if (scheme != "none") {
            PrintError("unknown authentication scheme \"" + scheme +
                       "\" in --auth (use none, basic, digest or both, comma-separated)");
            return kExitUsage;
        }
    }

    zarncam::Camera camera(config);
    camera.SetFaults(faults);
    if (!camera.Start()) {
        PrintError(ListenFailure(static_cast<uint16_t>(port)));
        return kExitFailure;
    }
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    std::printf("zarncam listening on port %u\n", static_cast<unsigned>(camera.Port()));
    std::fflush(stdout);

    bool stdinOpen = true;
    std::string pending;
    std::size_t printed = 0;
    std::size_t outagesPrinted = 0;
    const auto started = std::chrono::steady_clock::now();
    while (g_stopRequested == 0) {
        pollfd pfd{STDIN_FILENO, POLLIN, 0};
        const int ready = ::poll(&pfd, stdinOpen ? 1 : 0, 200);
        if (ready > 0 && (pfd.revents & (POLLIN | POLLHUP)) != 0) {
            char buffer[256];
            const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof(buffer));
            if (n <= 0) {
                stdinOpen = false;
            } else {
                pending.append(buffer, static_cast<std::size_t>(n));
                if (pending.size() > 4096) pending.clear();
                std::size_t eol = 0;
                bool quit = false;
                while (!quit && (eol = pending.find('\n')) != std::string::npos) {
                    quit = !RunCommand(camera, pending.substr(0, eol));
                    pending.erase(0, eol + 1);
                }
                if (quit) break;
            }
        }
        if (verbose) {
            const auto records = camera.Requests();
            if (records.size() < printed) printed = 0;
            for (; printed < records.size(); ++printed) {
                const auto& r = records[printed];
                std::printf("%s %s auth=%s -> %d\n", r.method.c_str(),
                            MaskPassword(r.target).c_str(), zarncam::AuthSchemeName(r.auth),
                            r.status);
            }
            const auto outages = camera.Outages();
            if (outages.size() < outagesPrinted) outagesPrinted = 0;
            for (; outagesPrinted < outages.size(); ++outagesPrinted) {
                const auto& o = outages[outagesPrinted];
                std::printf("outage %s at %.1f s\n", o.kind.c_str(),
                            std::chrono::duration<double>(o.begin - started).count());
            }
            std::fflush(stdout);
        }
    }
    camera.Stop();
    return 0;
}
