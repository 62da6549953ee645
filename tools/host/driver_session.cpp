#include "driver_session.h"

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
    // 4 HD support. Parameters are read up to the first missing one, so 3 is present but empty.
    config_.extra = {{1, "0"}, {2, "554"}, {3, ""}, {4, camera.hd ? "1" : "0"}};
    // 5: the driver's diagnostic log (every level). Hosts that do not diagnose leave it out.
    if (library_.diagnosticLog) config_.extra[5] = "1";

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

}  // namespace zarnhost
