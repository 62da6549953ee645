#include "driver_session.h"

#include <cstdlib>
#include <filesystem>

#include "output_file.h"

namespace zarnhost {

DriverSession::DriverSession(DriverLibrary& library) : library_(library) {}

DriverSession::~DriverSession() {
    Close();
}

void DriverSession::SetEcho(std::function<void(const zarntest::LogRecord&)> echo) {
    if (!echo) {
        sink_.SetEcho(nullptr);
        return;
    }
    sink_.SetEcho([this, echo = std::move(echo)](const zarntest::LogRecord& record) {
        if (record.level == 4 && !library_.diagnosticLog) return;
        zarntest::LogRecord masked = record;
        masked.text = MaskSecret(record.text, password_);
        echo(masked);
    });
}

bool DriverSession::Open(const CameraTarget& camera, std::string* error) {
    Close();
    password_ = camera.password;
    config_.device.model = "Zarn HD";
    config_.device.channelCount = 1;
    config_.network.address = camera.address;
    config_.network.port = camera.port;
    config_.network.streamKind = 3;  // H.264 over HTTP
    config_.network.user = camera.user;
    config_.network.password = camera.password;
    // 1 video standard, 2 RTSP port (unused by the driver), 3 firmware (unknown to this host),
    // 4 HD support, 5 the driver's diagnostic log (level 4 too), 6 the preset file's folder.
    // Parameters are read up to the first missing one, so 3 is present but empty and 5 is "0"
    // when the folder follows.
    config_.extra = {{1, "0"}, {2, "554"}, {3, ""}, {4, camera.hd ? "1" : "0"}};
    if (library_.diagnosticLog || keepQuietFailures_) {
        config_.extra[5] = "1";
    } else if (!presetFolder_.empty()) {
        config_.extra[5] = "0";
    }
    if (!presetFolder_.empty()) config_.extra[6] = presetFolder_;

    driver_ = library_.create();
    if (driver_ == nullptr) {
        *error = "the driver could not create a driver object";
        return false;
    }
    if (!driver_->Open(&sink_, &allocator_, &config_)) {
        *error = "the driver refused to open the camera " + camera.Endpoint();
        Close();
        return false;
    }
    return true;
}

void DriverSession::Close() {
    if (driver_ == nullptr) return;
    driver_->Close();
    library_.destroy(driver_);
    driver_ = nullptr;
}

talvane::ipcapture::IIPVideoCapture* DriverSession::VideoCapture() const {
    if (driver_ == nullptr) return nullptr;
    talvane::ipcapture::IIPVideoCaptureEx* ex = driver_->GetVideoCaptureEx();
    if (ex != nullptr) return ex;
    return driver_->GetVideoCapture();
}

talvane::IIPPTZApiEx* DriverSession::PtzControl() const {
    if (driver_ == nullptr) return nullptr;
    if (talvane::IIPPTZDriverEx* ptz = driver_->GetPtzDriverEx(); ptz != nullptr) {
        return ptz->GetPtzControl(0);
    }
    if (talvane::IIPPTZDriver* ptz = driver_->GetPtzDriver(); ptz != nullptr) {
        return ptz->GetControl(0);
    }
    return nullptr;
}

std::vector<zarntest::LogRecord> DriverSession::Records() const {
    std::vector<zarntest::LogRecord> records = sink_.Records();
    for (auto& r : records) r.text = MaskSecret(r.text, password_);
    return records;
}

std::string DriverSession::LevelName(int level) {
    switch (level) {
        case 1:
            return "failure";
        case 2:
        case 3:
            return "notice";
        case 4:
            return "quiet failure";
        default:
            return "level " + std::to_string(level);
    }
}

std::string DriverSession::FormatRecord(const zarntest::LogRecord& record) {
    return "[driver " + std::to_string(record.level) + " " + LevelName(record.level) + "] " +
           (record.textWasNull ? std::string("(empty)") : record.text);
}

std::string UserStateFolder(const char* xdgStateHome, const char* home) {
    // Relative values of the variable are to be ignored, as for every XDG base folder.
    if (xdgStateHome != nullptr && xdgStateHome[0] == '/') {
        return (std::filesystem::path(xdgStateHome) / "zarnhost").string();
    }
    if (home != nullptr && home[0] == '/') {
        return (std::filesystem::path(home) / ".local" / "state" / "zarnhost").string();
    }
    return std::string();
}

PresetFolderChoice ChoosePresetFolder() {
    PresetFolderChoice choice;
    std::error_code ec;
    const auto program = ProgramFolder();
    if (!program.empty()) {
        choice.programFolder = program.string();
        choice.programWritable =
            CheckCanCreate((program / "zarnhost-write-check.tmp").string()).empty();
    }
    if (choice.programWritable) return choice;
#ifdef _WIN32
    // The per-user folder for programs' local state.
    if (const char* local = std::getenv("LOCALAPPDATA"); local != nullptr && *local != '\0') {
        choice.folder = (std::filesystem::path(local) / "zarnhost").string();
    }
#else
    choice.folder = UserStateFolder(std::getenv("XDG_STATE_HOME"), std::getenv("HOME"));
#endif
    // A folder that cannot be made is still named: the driver then reports the failed file.
    if (!choice.folder.empty()) std::filesystem::create_directories(choice.folder, ec);
    return choice;
}

}  // namespace zarnhost
