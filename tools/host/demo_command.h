// The `demo` subcommand: starts the zarncam simulator in-process on a free loopback port and runs
// the driver through everything a host does with it: live video with the status line (stored as a
// raw H.264 file and a PNG snapshot), a PTZ move, a preset stored and recalled, and the capability
// query. Each step checks what the simulated camera actually received.
#pragma once

#include <string>

#include "console.h"
#include "driver_library.h"

namespace zarnhost {

struct DemoOptions {
    std::string outDir = "demo-out";
    double videoSeconds = 3.0;
};

int RunDemo(DriverLibrary& library, const DemoOptions& options, Console& console,
            std::string* error);

}  // namespace zarnhost
