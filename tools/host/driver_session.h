// DriverSession: one driver object opened for one camera, with the host objects it borrows (log
// sink, frame allocator, configuration) kept alive for as long as the driver may call them.
//
// Created, opened, used and destroyed on one thread (the command's). The log sink is called from
// the driver's threads too; its records are kept and, when an echo is set, printed as they arrive.
// Destruction closes the driver and deletes it through the module's delete export, so nothing of
// the driver runs afterwards.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "camera_target.h"
#include "driver_library.h"
#include "support/fake_host.h"
#include "zarn/capture.h"
#include "zarn/ptz.h"

namespace zarnhost {

class DriverSession {
public:
    explicit DriverSession(DriverLibrary& library);
    ~DriverSession();
    DriverSession(const DriverSession&) = delete;
    DriverSession& operator=(const DriverSession&) = delete;

    // Called with every log record (already masked) on whatever thread logged it; level-4 records
    // only with the library's diagnostic log. Set before Open.
    void SetEcho(std::function<void(const zarntest::LogRecord&)> echo);
    // Asks the driver for its level-4 records even without the diagnostic log: they are kept in
    // Records() but not echoed. Set before Open.
    void KeepQuietFailures() { keepQuietFailures_ = true; }
    // The folder the driver keeps its preset file in; empty (the default) leaves it beside the
    // host program. Set before Open.
    void SetPresetFolder(std::string folder) { presetFolder_ = std::move(folder); }
    const std::string& PresetFolder() const { return presetFolder_; }

    // Creates the driver object and opens it for the camera. One line in `error` on failure.
    bool Open(const CameraTarget& camera, std::string* error);
    // Closes and deletes the driver object. Idempotent.
    void Close();

    talvane::ipcapture::IIPCaptureDriverEx3* Driver() const { return driver_; }
    // The video capture object, or null.
    talvane::ipcapture::IIPVideoCapture* VideoCapture() const;
    // The PTZ control of channel 0, or null when the driver has none.
    talvane::IIPPTZApiEx* PtzControl() const;

    // Keeps at most about `limit` log records (the newest); 0, the default, keeps all.
    void SetRecordLimit(size_t limit) { sink_.SetLimit(limit); }

    // Log records received so far, passwords masked.
    std::vector<zarntest::LogRecord> Records() const;
    zarntest::FakeFrameAllocator& Allocator() { return allocator_; }

    // "failure" (1), "notice" (2 and 3), "quiet failure" (4: shown only with the diagnostic log).
    static std::string LevelName(int level);
    // "[driver 3 notice] text" for printing.
    static std::string FormatRecord(const zarntest::LogRecord& record);

private:
    DriverLibrary& library_;
    std::string password_;
    zarntest::FakeDebugSink sink_;
    zarntest::FakeFrameAllocator allocator_;
    zarntest::FakeDriverConfig config_;
    talvane::ipcapture::IIPCaptureDriverEx3* driver_ = nullptr;
    bool keepQuietFailures_ = false;
    std::string presetFolder_;
};

// The per-user folder for zarnhost's state: $XDG_STATE_HOME/zarnhost when that is an absolute
// path, else $HOME/.local/state/zarnhost; empty when neither is usable. Arguments may be null.
std::string UserStateFolder(const char* xdgStateHome, const char* home);

// Where zarnhost lets the driver keep preset files: `folder` empty (beside the program, the
// driver's default) when the program's own folder is writable, else UserStateFolder of this user,
// created when missing (empty when there is none).
struct PresetFolderChoice {
    std::string folder;
    std::string programFolder;
    bool programWritable = false;
};
PresetFolderChoice ChoosePresetFolder();

}  // namespace zarnhost
