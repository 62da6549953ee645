#include "ptz/base_ptz_control.h"

#include <cstring>
#include <string>

#include "platform/platform.h"

namespace talvane {

CBasePTZControl::CBasePTZControl(IDriver* owner, int32_t channel)
    : owner_(owner), channel_(channel), presets_(channel) {}

CBasePTZControl::~CBasePTZControl() {
    // The command thread ends before the preset list (which points at the command object) goes.
    CBasePTZControl::DestroyComm();
}

int32_t CBasePTZControl::IsPtzSupported() {
    return Guarded("talvane::CBasePTZControl::IsPtzSupported", kPtzFailed, [&]() -> int32_t {
        if (!comm_) return kPtzFailed;
        return comm_->IsPtzSupported() ? 1 : 0;
    });
}

int32_t CBasePTZControl::AfterMotion(int32_t result, std::atomic<bool>* flag) {
    if (result == kPtzOk) {
        if (flag != nullptr) flag->store(true);
        presets_.ResetCurrent();
    }
    return result;
}

int32_t CBasePTZControl::Move(int32_t direction, int32_t speed) {
    return Guarded("talvane::CBasePTZControl::Move", kPtzFailed, [&]() -> int32_t {
        if (!comm_) return kPtzFailed;
        // Direction 10 has no motion; anything else is handed on.
        if (direction == 10) return kPtzInvalidArgument;
        const bool zoom = direction == kPtzZoomIn || direction == kPtzZoomOut;
        return AfterMotion(comm_->StartMove(this, direction, speed), zoom ? &zooming_ : &moving_);
    });
}

bool CBasePTZControl::StopIf(std::atomic<bool>& flag, bool (CBasePTZComm::*stop)(IIPParams*)) {
    if (!flag.load()) return true;
    if (!(comm_.get()->*stop)(this)) return false;  // stays set: the stop was not queued
    flag.store(false);
    return true;
}

int32_t CBasePTZControl::Stop() {
    return Guarded("talvane::CBasePTZControl::Stop", kPtzFailed, [&]() -> int32_t {
        if (!comm_) return kPtzFailed;
        bool ok = true;
        ok = StopIf(moving_, &CBasePTZComm::StopMoving) && ok;
        ok = StopIf(zooming_, &CBasePTZComm::StopZooming) && ok;
        ok = StopIf(irisChanging_, &CBasePTZComm::StopIrisChanging) && ok;
        ok = StopIf(focusing_, &CBasePTZComm::StopFocusing) && ok;
        return ok ? kPtzOk : kPtzFailed;
    });
}

int32_t CBasePTZControl::Center(int32_t x, int32_t y, int32_t speed) {
    return Guarded("talvane::CBasePTZControl::Center", kPtzFailed, [&]() -> int32_t {
        if (!comm_) return kPtzFailed;
        return AfterMotion(comm_->Center(this, x, y, speed), nullptr);
    });
}

int32_t CBasePTZControl::ZoomIn(int32_t speed) {
    return Guarded("talvane::CBasePTZControl::ZoomIn", kPtzFailed, [&]() -> int32_t {
        if (!comm_) return kPtzFailed;
        return AfterMotion(comm_->StartMove(this, kPtzZoomIn, speed), &zooming_);
    });
}

int32_t CBasePTZControl::ZoomOut(int32_t speed) {
    return Guarded("talvane::CBasePTZControl::ZoomOut", kPtzFailed, [&]() -> int32_t {
        if (!comm_) return kPtzFailed;
        return AfterMotion(comm_->StartMove(this, kPtzZoomOut, speed), &zooming_);
    });
}

int32_t CBasePTZControl::Unzoom(int32_t speed) {
    return Guarded("talvane::CBasePTZControl::Unzoom", kPtzFailed, [&]() -> int32_t {
        if (!comm_) return kPtzFailed;
        return AfterMotion(comm_->Unzoom(this, speed), nullptr);
    });
}

int32_t CBasePTZControl::AreaZoom(int32_t a, int32_t b, int32_t c, int32_t speed) {
    return Guarded("talvane::CBasePTZControl::AreaZoom", kPtzFailed, [&]() -> int32_t {
        if (!comm_) return kPtzFailed;
        return AfterMotion(comm_->AreaZoom(this, a, b, c, speed), nullptr);
    });
}

int32_t CBasePTZControl::FocusNear(int32_t speed) {
    return Guarded("talvane::CBasePTZControl::FocusNear", kPtzFailed, [&]() -> int32_t {
        if (!comm_) return kPtzFailed;
        return AfterMotion(comm_->StartFocus(this, true, speed), &focusing_);
    });
}

int32_t CBasePTZControl::FocusFar(int32_t speed) {
    return Guarded("talvane::CBasePTZControl::FocusFar", kPtzFailed, [&]() -> int32_t {
        if (!comm_) return kPtzFailed;
        return AfterMotion(comm_->StartFocus(this, false, speed), &focusing_);
    });
}

int32_t CBasePTZControl::IrisOpen(int32_t speed) {
    return Guarded("talvane::CBasePTZControl::IrisOpen", kPtzFailed, [&]() -> int32_t {
        if (!comm_) return kPtzFailed;
        return AfterMotion(comm_->StartIris(this, true, speed), &irisChanging_);
    });
}

int32_t CBasePTZControl::IrisClose(int32_t speed) {
    return Guarded("talvane::CBasePTZControl::IrisClose", kPtzFailed, [&]() -> int32_t {
        if (!comm_) return kPtzFailed;
        return AfterMotion(comm_->StartIris(this, false, speed), &irisChanging_);
    });
}

int32_t CBasePTZControl::GetCapabilities(PtzCapabilityRecord* record) {
    return Guarded("talvane::CBasePTZControl::GetCapabilities", kPtzFailed, [&]() -> int32_t {
        if (!comm_) return kPtzFailed;
        if (record == nullptr) return kPtzInvalidArgument;
        const int32_t result = comm_->GetCapabilities(record);
        if (result == kPtzOk) {
            record->maxPresets = static_cast<int32_t>(presets_.GetMaximum());
            record->presetCount = presets_.GetCount();
        }
        return result;
    });
}

int32_t CBasePTZControl::GetPresetCount() {
    return Guarded("talvane::CBasePTZControl::GetPresetCount", 0,
                   [&]() -> int32_t { return presets_.StorageFailed() ? 0 : presets_.GetCount(); });
}

// The preset list and its file hold names as UTF-8; the host hands in and takes back its own
// 8-bit code page, converted here (the identity where the host's text is UTF-8).
int32_t CBasePTZControl::CopyName(bool found, const std::string& name, char* buffer,
                                  uint32_t size) {
    if (!found) return kPtzPresetFailed;
    const std::string hostName = platform::Utf8ToHostText(name);
    if (buffer == nullptr || hostName.size() >= size) return kPtzInvalidArgument;
    std::memcpy(buffer, hostName.c_str(), hostName.size() + 1);
    return kPtzOk;
}

// The host's name as the list keeps it; empty when it is not text of the host's code page.
static std::string ListName(const char* hostName) {
    std::string name;
    if (!platform::HostTextToUtf8(hostName, name)) name.clear();
    return name;
}

int32_t CBasePTZControl::GetPresetName(int32_t index, char* buffer, uint32_t size) {
    return Guarded("talvane::CBasePTZControl::GetPresetName", kPtzPresetFailed, [&]() -> int32_t {
        if (presets_.StorageFailed()) return kPtzFailed;
        std::string name;
        const bool found = presets_.GetName(index, name);
        return CopyName(found, name, buffer, size);
    });
}

int32_t CBasePTZControl::GotoPreset(int32_t value, const char* name) {
    return Guarded("talvane::CBasePTZControl::GotoPreset", kPtzPresetFailed, [&]() -> int32_t {
        if (name == nullptr) return kPtzInvalidArgument;
        if (presets_.StorageFailed()) return kPtzFailed;
        return presets_.GoTo(ListName(name), value) ? kPtzOk : kPtzPresetFailed;
    });
}

int32_t CBasePTZControl::AddPreset(const char* name) {
    return Guarded("talvane::CBasePTZControl::AddPreset", kPtzFailed, [&]() -> int32_t {
        if (name == nullptr) return kPtzInvalidArgument;
        if (presets_.StorageFailed()) return kPtzFailed;
        // The list's rules (validity, length) apply to the converted name.
        std::string listName;
        if (!platform::HostTextToUtf8(name, listName)) {
            if (owner_ != nullptr) {
                owner_->Log(kLogFailure,
                            "%s: A preposition cannot be added - the name is not text of the "
                            "system's code page.",
                            "talvane::CBasePTZControl::AddPreset");
            }
            return kPtzInvalidArgument;
        }
        return presets_.AddPreposition(listName);
    });
}

int32_t CBasePTZControl::DeletePreset(const char* name) {
    return Guarded("talvane::CBasePTZControl::DeletePreset", kPtzPresetFailed, [&]() -> int32_t {
        if (name == nullptr) return kPtzInvalidArgument;
        if (presets_.StorageFailed()) return kPtzFailed;
        return presets_.DeletePreposition(ListName(name)) ? kPtzOk : kPtzPresetFailed;
    });
}

int32_t CBasePTZControl::GetCurrentPresetName(char* buffer, uint32_t size) {
    return Guarded("talvane::CBasePTZControl::GetCurrentPresetName", kPtzPresetFailed,
                   [&]() -> int32_t {
                       if (presets_.StorageFailed()) return kPtzFailed;
                       std::string name;
                       const bool found = presets_.GetCurrentName(name);
                       return CopyName(found, name, buffer, size);
                   });
}

int32_t CBasePTZControl::MapValue(int32_t value) {
    return value;
}

int32_t CBasePTZControl::GetChannel() {
    return channel_;
}

uint8_t CBasePTZControl::GetOption1() {
    return option1_.load();
}

void CBasePTZControl::SetOption1(uint8_t value) {
    option1_.store(value);
}

uint8_t CBasePTZControl::GetOption2() {
    return option2_.load();
}

void CBasePTZControl::SetOption2(uint8_t value) {
    option2_.store(value);
}

void CBasePTZControl::DestroyComm() {
    if (!comm_) return;
    comm_->Close();
    presets_.SetCamera(nullptr);
    // Deleted now, or by its PTZ thread if that had to be let go.
    comm_.release()->Discard();
}

bool CBasePTZControl::Initialize(TSmartPtr<CXMLPrepositionReader> reader) {
    DestroyComm();  // a second Initialize starts over
    comm_.reset(CreateComm());
    if (comm_ && comm_->Open() && reader) {
        presets_.SetCamera(comm_.get());
        presets_.SetMaximum(comm_->Capabilities().maxPresets);
        presets_.SetStorage(reader);
        return true;
    }
    DestroyComm();
    reader.Release();
    return false;
}

}  // namespace talvane
