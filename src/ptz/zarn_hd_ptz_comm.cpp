#include "ptz/zarn_hd_ptz_comm.h"

#include <cmath>
#include <limits>
#include <vector>

#include "http/hutils.h"
#include "http/text_utils.h"
#include "ptz/pelco_d_ptz_command.h"

namespace talvane {

namespace {

constexpr const char* kProcessItem = "talvane::CZarnHDPTZComm::ProcessItem";

bool IsDiagonal(int32_t direction) {
    return direction >= kPtzUpLeft && direction <= kPtzDownRight;
}
bool IsZoom(int32_t direction) {
    return direction == kPtzZoomIn || direction == kPtzZoomOut;
}

// Camera preset number of a 0-based slot; false when it has none.
bool PresetNumber(int32_t slot, int32_t& number) {
    if (slot < 0 || slot >= std::numeric_limits<int32_t>::max()) return false;
    number = slot + 1;
    return true;
}

}  // namespace

CZarnHDPTZComm::CZarnHDPTZComm(IDriver* owner, const CPtzCapabilities& capabilities,
                               uint16_t channel)
    : CBasePTZComm(owner, capabilities, channel), sender_(DeviceInfoOf(owner)) {
    // After the abort a request returns at once; only a thread held where the abort does not
    // reach (a host-name lookup) can outlast this.
    const int32_t timeout = sender_.Device().requestTimeoutMs;
    SetStopBound(static_cast<uint32_t>(timeout > 0 ? timeout : 5000));
}

CZarnHDPTZComm::~CZarnHDPTZComm() {
    // ProcessItem uses the client: the thread must end before the client goes.
    CZarnHDPTZComm::Close();
    EndThread();
}

bool CZarnHDPTZComm::Close() {
    if (!IsStarted()) return false;
    {
        std::lock_guard<std::mutex> lock(inFlightMutex_);
        closing_ = true;
        // A motion request in progress returns at once instead of running into its time-out.
        if (inFlight_ == InFlight::kMotion) sender_.Abort();
    }
    // A stop the host asked for before closing still reaches the camera, within one request
    // time-out; every other waiting request is dropped.
    const int32_t timeout = sender_.Device().requestTimeoutMs;
    DrainThread(&CZarnHDPTZComm::IsMotionStop, static_cast<uint32_t>(timeout > 0 ? timeout : 5000));
    sender_.Abort();
    const bool closed = CBasePTZComm::Close();
    // A let-go thread keeps the client aborted: it must end, not send.
    if (!ThreadLetGo()) {
        sender_.ResetAbort();
        std::lock_guard<std::mutex> lock(inFlightMutex_);
        closing_ = false;
    }
    return closed;
}

bool CZarnHDPTZComm::IsMotionStop(const IWorkItem& item) {
    const auto* request = dynamic_cast<const CWorkItem*>(&item);
    return request != nullptr && request->message == kMessageStop;
}

int32_t CZarnHDPTZComm::CameraSpeed(int32_t direction, int32_t hostSpeed) {
    double base = 2.0;
    double range = 7.0;
    if (IsZoom(direction)) {
        base = 1.0;
        range = 2.0;
    } else if (IsDiagonal(direction)) {
        base = 3.0;
        range = 60.0;
    }
    const double speed = base + std::trunc(range * (static_cast<double>(hostSpeed) - 1.0) / 15.0);
    // Host speeds far outside 1..16 would not fit; converting them unchecked is
    // undefined.
    if (speed >= static_cast<double>(std::numeric_limits<int32_t>::max())) {
        return std::numeric_limits<int32_t>::max();
    }
    if (speed <= static_cast<double>(std::numeric_limits<int32_t>::min())) {
        return std::numeric_limits<int32_t>::min();
    }
    return static_cast<int32_t>(speed);
}

std::string CZarnHDPTZComm::MoveRequest(int32_t direction, int32_t hostSpeed) {
    std::string request = kBaseRequest;
    const int32_t speed = CameraSpeed(direction, hostSpeed);
    const char* move = nullptr;
    switch (direction) {
        case kPtzLeft:
            move = "&Move=Left";
            break;
        case kPtzRight:
            move = "&Move=Right";
            break;
        case kPtzUp:
            move = "&Move=Up";
            break;
        case kPtzDown:
            move = "&Move=Down";
            break;
        case kPtzZoomIn:
            move = "&Move=ZoomTele";
            break;
        case kPtzZoomOut:
            move = "&Move=ZoomWide";
            break;
        default:
            break;
    }
    if (move != nullptr) {
        request += move;
        request += HUtils::FormatString("&Speed=%d", speed);
    } else if (IsDiagonal(direction)) {
        request += "&Path=1&Command=";
        request += CPelcoDPtzCommand::Diagonal(direction, speed).ToString();
    }
    return request;
}

std::string CZarnHDPTZComm::FocusRequest(int32_t code) {
    const char* move = nullptr;
    if (code == kCodeFocusFar) move = "FocusFar";
    if (code == kCodeFocusNear) move = "FocusNear";
    if (move == nullptr) return std::string();
    return HUtils::FormatString("%s&Move=%s&Speed=%d", kBaseRequest, move, kFocusIrisSpeed);
}

std::string CZarnHDPTZComm::IrisRequest(int32_t code) {
    const char* move = nullptr;
    if (code == kCodeIrisOpen) move = "IrisOn";
    if (code == kCodeIrisClose) move = "IrisOff";
    if (move == nullptr) return std::string();
    return HUtils::FormatString("%s&Move=%s&Speed=%d", kBaseRequest, move, kFocusIrisSpeed);
}

std::string CZarnHDPTZComm::StopRequest(int32_t code) {
    // The camera has one stop for every kind of motion.
    if (code < kCodeStopMoving || code > kCodeStopIrisChanging) return std::string();
    return std::string(kBaseRequest) + "&Move=Stop";
}

std::string CZarnHDPTZComm::RequestFor(const CWorkItem& item) {
    switch (item.message) {
        case kMessageMove:
            return MoveRequest(item.p1, item.speed);
        case kMessageFocus:
            return FocusRequest(item.code);
        case kMessageIris:
            return IrisRequest(item.code);
        case kMessageStop:
            return StopRequest(item.code);
        default:
            // Area zoom, center and unzoom: this camera has none (refused before
            // queueing).
            return std::string();
    }
}

void CZarnHDPTZComm::ProcessItem(IWorkItem* item) {
    const auto* request = dynamic_cast<const CWorkItem*>(item);
    if (request == nullptr) return;
    const std::string object = RequestFor(*request);
    if (object.empty()) return;
    const bool stop = IsMotionStop(*request);
    {
        std::lock_guard<std::mutex> lock(inFlightMutex_);
        // While closing only a stop still goes out; the abort that ended the motion before it
        // must not cut it short.
        if (closing_ && !stop) return;
        if (closing_) sender_.ResetAbort();
        inFlight_ = stop ? InFlight::kStop : InFlight::kMotion;
    }
    uint32_t status = 0;
    const CResultDef result = RequestLocked(object, status);
    bool cutShort = false;
    {
        std::lock_guard<std::mutex> lock(inFlightMutex_);
        inFlight_ = InFlight::kNone;
        // Close aborts a motion request in flight: that failure is ours, not the camera's.
        cutShort = closing_ && !stop;
    }
    if (!cutShort) NoteMotionResult(object, result, status);
}

void CZarnHDPTZComm::NoteMotionResult(const std::string& object, const CResultDef& result,
                                      uint32_t status) {
    if (result.Ok()) {
        failing_ = false;
        return;
    }
    if (failing_) return;
    failing_ = true;
    const std::string answer =
        status != 0 ? HUtils::FormatString("status %u", static_cast<unsigned>(status))
                    : std::string("no answer");
    LogFromPtzThread(kLogSilent, "%s: the camera did not carry out the PTZ request \"%s\" (%s)",
                     kProcessItem, HUtils::RedactObject(object).c_str(), answer.c_str());
}

bool CZarnHDPTZComm::SetPreposition(int32_t slot, const std::string& /*name*/) {
    int32_t number = 0;
    if (!PresetNumber(slot, number)) return false;
    return SendCgiLocked(HUtils::FormatString("%s&Move=PresetSet&PresetNo=%d&PresetName=preset%d",
                                              kBaseRequest, number, number));
}

bool CZarnHDPTZComm::CallPreposition(int32_t slot, const std::string& /*name*/, int32_t /*value*/) {
    int32_t number = 0;
    if (!PresetNumber(slot, number)) return false;
    return SendGetLocked(
        "talvane::CZarnHDPTZComm::CallPreposition",
        HUtils::FormatString("%s&Move=PresetCall&PresetNo=%d", kBaseRequest, number));
}

bool CZarnHDPTZComm::ClearPreposition(int32_t slot, const std::string& /*name*/) {
    int32_t number = 0;
    if (!PresetNumber(slot, number)) return false;
    return SendGetLocked(
        "talvane::CZarnHDPTZComm::ClearPreposition",
        HUtils::FormatString("%s&Move=PresetClear&PresetNo=%d", kBaseRequest, number));
}

bool CZarnHDPTZComm::SendCgiLocked(const std::string& object) {
    uint32_t status = 0;
    return RequestLocked(object, status).Ok();
}

CResultDef CZarnHDPTZComm::RequestLocked(const std::string& object, uint32_t& status) {
    std::lock_guard<std::mutex> lock(clientMutex_);
    std::vector<uint8_t> body;
    CResultDef result = HUtils::RequestGetRD(body, sender_, object, false);
    // The sender keeps the status of the last answer it had: it is this request's only when the
    // camera answered.
    status = result.code == CResultDef::kCodeCannotSend ? 0 : sender_.GetStatusCode();
    return result;
}

bool CZarnHDPTZComm::SendGetLocked(const char* operation, const std::string& object) {
    uint32_t status = 0;
    bool answered = false;
    {
        std::lock_guard<std::mutex> lock(clientMutex_);
        answered = HUtils::SendGet(sender_, object);
        if (answered) status = sender_.GetStatusCode();
        // The answer is not needed; the next user of the client starts clean.
        sender_.CloseRequest();
    }
    // Any answer counts as done for the host; a refusal is still worth a quiet record, so that a
    // diagnosing host can tell the user that the camera did not go to (or forget) the preset.
    if (answered && (status < 200 || status > 299)) {
        Log(kLogSilent, "%s: the camera did not carry out the preset request \"%s\" (status %u)",
            operation, HUtils::RedactObject(object).c_str(), static_cast<unsigned>(status));
    }
    return answered;
}

}  // namespace talvane
