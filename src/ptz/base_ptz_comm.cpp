#include "ptz/base_ptz_comm.h"

#include <cstdarg>
#include <cstdio>
#include <memory>
#include <vector>

#include "http/text_utils.h"

namespace talvane {

namespace {

CBasePTZComm::CWorkItem* NewItem(int32_t message, int32_t code, IIPParams* context, int32_t speed,
                                 int32_t p1 = 0, int32_t p2 = 0, int32_t p3 = 0) {
    auto* item = new CBasePTZComm::CWorkItem();
    item->message = message;
    item->code = code;
    item->context = context;
    item->speed = speed;
    item->p1 = p1;
    item->p2 = p2;
    item->p3 = p3;
    return item;
}

}  // namespace

CBasePTZComm::CBasePTZComm(IDriver* owner, const CPtzCapabilities& capabilities, uint16_t channel)
    : channel_(channel), capabilities_(capabilities), owner_(owner) {}

CBasePTZComm::~CBasePTZComm() {
    CBasePTZComm::Close();
    EndThread();
}

void CBasePTZComm::Discard() {
    Close();
    AtEnd([this] { delete this; });
}

bool CBasePTZComm::Open() {
    if (!started_.load()) {
        const std::string name =
            HUtils::FormatString("BaseIPPTZThread_Ch%u", static_cast<unsigned>(channel_) + 1u);
        const bool startedNow = StartThread(name);
        if (!startedNow) {
            // A failed start leaves the queue accepting items that nothing would run.
            StopThread();
        }
        started_.store(startedNow);
    }
    if (!started_.load()) {
        Log(kLogFailure, "%s: unable to start thread for PTZ channel %u",
            "talvane::CBasePTZComm::Open", static_cast<unsigned>(channel_) + 1u);
    }
    return started_.load();
}

bool CBasePTZComm::Close() {
    if (!started_.load()) return false;
    StopThread();
    started_.store(false);
    if (ThreadLetGo()) {
        ownerGate_.Close();
        Log(kLogFailure,
            "%s: The PTZ thread of channel %u did not end in time; it is left to end by itself",
            "talvane::CBasePTZComm::Close", static_cast<unsigned>(channel_) + 1u);
    }
    return true;
}

bool CBasePTZComm::IsPtzSupported() {
    return capabilities_.pan != 0 || capabilities_.tilt != 0 || capabilities_.zoom != 0 ||
           capabilities_.focus != 0 || capabilities_.iris != 0;
}

int32_t CBasePTZComm::GetCapabilities(PtzCapabilityRecord* record) {
    if (record == nullptr) return kPtzOk;
    auto flag = [](uint8_t value) -> int32_t { return value != 0 ? 1 : 0; };
    record->pan = flag(capabilities_.pan);
    record->tilt = flag(capabilities_.tilt);
    record->zoom = flag(capabilities_.zoom);
    record->focus = flag(capabilities_.focus);
    record->iris = flag(capabilities_.iris);
    record->reserved7 = 0;
    record->maxPresets = static_cast<int32_t>(capabilities_.maxPresets);
    record->presetCount = 0;
    record->reserved10 = 0;
    record->reserved11 = 0;
    record->areaZoom = flag(capabilities_.areaZoom);
    record->center = flag(capabilities_.center);
    record->unzoom = flag(capabilities_.unzoom);
    return kPtzOk;
}

void CBasePTZComm::Log(int32_t level, const char* format, ...) {
    if (owner_ == nullptr || format == nullptr) return;
    va_list args;
    va_start(args, format);
    const std::string text = HUtils::FormatStringV(format, args);
    va_end(args);
    owner_->Log(level, "%s", text.c_str());
}

void CBasePTZComm::LogFromPtzThread(int32_t level, const char* format, ...) {
    if (owner_ == nullptr || format == nullptr) return;
    va_list args;
    va_start(args, format);
    const std::string text = HUtils::FormatStringV(format, args);
    va_end(args);
    CHostGate::Call call(&ownerGate_);
    if (call) owner_->Log(level, "%s", text.c_str());
}

bool CBasePTZComm::PostRequest(const char* operation, CWorkItem* item) {
    const int32_t message = item->message;
    if (PostItem(item, kMaxPending)) return true;  // the queue owns the item either way
    Log(kLogFailure, "%s: cannot send message (%d) to thread", operation, message);
    return false;
}

int32_t CBasePTZComm::PostMotion(const char* operation, CWorkItem* item) {
    return PostRequest(operation, item) ? kPtzOk : kPtzFailed;
}

int32_t CBasePTZComm::StartMove(IIPParams* context, int32_t direction, int32_t speed) {
    if (capabilities_.pan == 0 && capabilities_.tilt == 0) return kPtzNotSupported;
    return PostMotion("talvane::CBasePTZComm::StartMove",
                      NewItem(kMessageMove, kCodeNone, context, speed, direction));
}

int32_t CBasePTZComm::StartIris(IIPParams* context, bool open, int32_t speed) {
    if (capabilities_.iris == 0) return kPtzNotSupported;
    return PostMotion("talvane::CBasePTZComm::StartIris",
                      NewItem(kMessageIris, open ? kCodeIrisOpen : kCodeIrisClose, context, speed));
}

int32_t CBasePTZComm::StartFocus(IIPParams* context, bool nearFocus, int32_t speed) {
    if (capabilities_.focus == 0) return kPtzNotSupported;
    return PostMotion(
        "talvane::CBasePTZComm::StartFocus",
        NewItem(kMessageFocus, nearFocus ? kCodeFocusNear : kCodeFocusFar, context, speed));
}

int32_t CBasePTZComm::AreaZoom(IIPParams* context, int32_t a, int32_t b, int32_t c, int32_t speed) {
    if (capabilities_.areaZoom == 0) return kPtzNotSupported;
    return PostMotion("talvane::CBasePTZComm::AreaZoom",
                      NewItem(kMessageAreaZoom, kCodeNone, context, speed, a, b, c));
}

int32_t CBasePTZComm::Unzoom(IIPParams* context, int32_t speed) {
    if (capabilities_.unzoom == 0) return kPtzNotSupported;
    return PostMotion("talvane::CBasePTZComm::Unzoom",
                      NewItem(kMessageUnzoom, kCodeNone, context, speed));
}

int32_t CBasePTZComm::Center(IIPParams* context, int32_t x, int32_t y, int32_t speed) {
    if (capabilities_.center == 0) return kPtzNotSupported;
    return PostMotion("talvane::CBasePTZComm::Center",
                      NewItem(kMessageCenter, kCodeNone, context, speed, x, y));
}

bool CBasePTZComm::StopMoving(IIPParams* context) {
    return PostRequest("talvane::CBasePTZComm::StopMoving",
                       NewItem(kMessageStop, kCodeStopMoving, context, 0));
}

bool CBasePTZComm::StopZooming(IIPParams* context) {
    return PostRequest("talvane::CBasePTZComm::StopZooming",
                       NewItem(kMessageStop, kCodeStopZooming, context, 0));
}

bool CBasePTZComm::StopFocusing(IIPParams* context) {
    return PostRequest("talvane::CBasePTZComm::StopFocusing",
                       NewItem(kMessageStop, kCodeStopFocusing, context, 0));
}

bool CBasePTZComm::StopIrisChanging(IIPParams* context) {
    return PostRequest("talvane::CBasePTZComm::StopIrisChanging",
                       NewItem(kMessageStop, kCodeStopIrisChanging, context, 0));
}

}  // namespace talvane
