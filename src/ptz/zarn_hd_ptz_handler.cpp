#include "ptz/zarn_hd_ptz_handler.h"

#include <new>

#include "http/text_utils.h"
#include "ptz/zarn_hd_ptz_control.h"

namespace talvane {

CZarnHDPTZHandler::CZarnHDPTZHandler(IDriver* owner) : CBasePTZHandler(owner, kName) {}

CZarnHDPTZHandler::~CZarnHDPTZHandler() = default;

std::string CZarnHDPTZHandler::PresetFileNameFor(const DEVICE_INFO& device) {
    // Dots are dropped from the address; path separators too, so that a strange address from the
    // host's configuration cannot place the file outside the host program's folder.
    const std::string address = HUtils::RemoveChars(device.address, "./\\");
    return HUtils::FormatString("Zarn_%s", address.c_str()) +
           HUtils::FormatString("_%u.preset", static_cast<unsigned>(device.port));
}

void CZarnHDPTZHandler::GetPresetFileName(std::string& fileName) {
    fileName.clear();
    if (Owner() == nullptr) return;  // no connection record: no file name
    DEVICE_INFO device;
    Owner()->GetDeviceInfo(&device);
    fileName = PresetFileNameFor(device);
}

CBasePTZControl* CZarnHDPTZHandler::CreatePtzControl(uint32_t channel) {
    return new (std::nothrow) CZarnHDPTZControl(Owner(), static_cast<int32_t>(channel));
}

}  // namespace talvane
