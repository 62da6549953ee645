// The `ptz` and `preset` subcommands: open the driver for a camera, take the PTZ control of
// channel 0 and call it as a host does.
//
// Motion requests return at once; the driver's PTZ thread sends them to the camera afterwards, so
// the command waits `settleMs` after its last request before it closes the driver (closing drops
// requests that were not sent yet). The driver reports a request the camera refused or did not
// answer only in a level-4 log record, which the `ptz` command asks for and turns into a failure.
// Preset operations run on the calling thread and report the outcome directly.
#pragma once

#include <string>
#include <vector>

#include "camera_target.h"
#include "console.h"
#include "driver_library.h"
#include "driver_session.h"

namespace zarnhost {

struct PtzOptions {
    CameraTarget camera;
    std::string action;     // "move" or "stop"
    std::string direction;  // for move: one of PtzDirectionNames()
    int speed = 8;          // 1..16
    int forMs = 0;          // move, then stop after this long; 0: leave the head moving
    int settleMs = 500;
    bool checkLogin = true;  // check the credentials over HTTP first
};

struct PresetOptions {
    CameraTarget camera;
    std::string action;  // "add", "goto", "delete" or "list"
    std::string name;
    bool json = false;  // list: one JSON object; any failure: {"ok": false, "error": ...}
    bool checkLogin = true;
};

const std::vector<std::string>& PtzDirectionNames();

// Text of a PTZ result code.
std::string PtzResultText(int32_t code);

// Checks that the camera answers and takes the credentials, opens the session's driver and
// returns the PTZ control of channel 0; null with `error` set otherwise. Driver log records are
// printed on `console`.
talvane::IIPPTZApiEx* OpenPtzControl(DriverSession& session, const CameraTarget& camera,
                                     bool checkLogin, Console& console, std::string* error,
                                     bool echoLog = true);

// What the first record of a PTZ request refused by the camera says ("did not carry out the PTZ
// request ... (status 500)"); empty when there is none.
std::string PtzRefusal(const std::vector<zarntest::LogRecord>& records);

// One motion request (and its stop after options.forMs), or one preset operation, on an open
// control. They return the exit status; the driver stays open.
int PtzAction(talvane::IIPPTZApiEx* control, const PtzOptions& options, Console& console,
              std::string* error);
int PresetAction(talvane::IIPPTZApiEx* control, const PresetOptions& options, Console& console,
                 std::string* error);

// The whole subcommands: open, act, close.
int RunPtz(DriverLibrary& library, const PtzOptions& options, Console& console, std::string* error);
int RunPreset(DriverLibrary& library, const PresetOptions& options, Console& console,
              std::string* error);

}  // namespace zarnhost
