#include "ptz/zarn_hd_ptz_handler.h"

#include <new>

#include "http/text_utils.h"
#include "ptz/preset_file_registry.h"
#include "ptz/zarn_hd_ptz_control.h"
#include "xml/holt_file_base.h"
#include "xml/xml_settings_api.h"

namespace talvane {

namespace {

constexpr const char* kTakeOver = "talvane::CZarnHDPTZHandler::InitializeXMLStorage";

std::string WithPort(const std::string& address, uint16_t port) {
    return HUtils::FormatString("Zarn_%s", address.c_str()) +
           HUtils::FormatString("_%u.preset", static_cast<unsigned>(port));
}

}  // namespace

CZarnHDPTZHandler::CZarnHDPTZHandler(IDriver* owner) : CBasePTZHandler(owner, kName) {
    if (owner == nullptr) return;
    const DEVICE_INFO device = DeviceInfoOf(owner);
    CPresetFileRegistry::Note(PresetFileNameFor(device), LegacyPresetFileNameFor(device));
}

CZarnHDPTZHandler::~CZarnHDPTZHandler() = default;

std::string CZarnHDPTZHandler::PresetFileNameFor(const DEVICE_INFO& device) {
    // The address stays readable; every byte outside letters, digits and "-._~" (path separators
    // among them) is written as %XX, so no two addresses share a name and none leaves the folder.
    return WithPort(HUtils::PercentEncode(device.address), device.port);
}

std::string CZarnHDPTZHandler::LegacyPresetFileNameFor(const DEVICE_INFO& device) {
    // Path separators went too, so that a strange address could not place the file elsewhere.
    return WithPort(HUtils::RemoveChars(device.address, "./\\"), device.port);
}

void CZarnHDPTZHandler::GetPresetFileName(std::string& fileName) {
    fileName.clear();
    if (Owner() == nullptr) return;  // no connection record: no file name
    fileName = PresetFileNameFor(DeviceInfoOf(Owner()));
}

CBasePTZControl* CZarnHDPTZHandler::CreatePtzControl(uint32_t channel) {
    return new (std::nothrow) CZarnHDPTZControl(Owner(), static_cast<int32_t>(channel));
}

bool CZarnHDPTZHandler::InitializeXMLStorage() {
    TakeOverLegacyFile();
    return CBasePTZHandler::InitializeXMLStorage();
}

void CZarnHDPTZHandler::TakeOverLegacyFile() {
    IDriver* owner = Owner();
    if (owner == nullptr) return;
    const DEVICE_INFO device = DeviceInfoOf(owner);
    const std::string fileName = PresetFileNameFor(device);
    const std::string legacyName = LegacyPresetFileNameFor(device);
    if (legacyName == fileName) return;  // an address that needs no change: nothing to take
    const std::string folder = PresetFolder();
    const std::string path = CXMLSettingsAPI::FullPath(fileName, folder);
    const std::string legacyPath = CXMLSettingsAPI::FullPath(legacyName, folder);
    if (CHoltFileBase::ExistsNonEmpty(path) || !CHoltFileBase::ExistsNonEmpty(legacyPath)) return;

    const std::string camera =
        HUtils::FormatString("%s:%u", device.address.c_str(), static_cast<unsigned>(device.port));
    if (!CPresetFileRegistry::OnlyCameraWithLegacyName(fileName, legacyName)) {
        owner->Log(kLogNotice,
                   "%s: The preset file \"%s\" of an earlier version may belong to camera %s or to "
                   "another camera of this host; it is left as it is, and a new file \"%s\" is "
                   "started.",
                   kTakeOver, legacyPath.c_str(), camera.c_str(), fileName.c_str());
        return;
    }
    if (!CHoltFileBase::Replace(legacyPath, path)) {
        owner->Log(kLogFailure,
                   "%s: The preset file \"%s\" of an earlier version cannot be renamed to \"%s\" "
                   "for camera %s; it is left as it is, and a new file is started.",
                   kTakeOver, legacyPath.c_str(), fileName.c_str(), camera.c_str());
        return;
    }
    owner->Log(kLogNotice,
               "%s: The preset file \"%s\" of an earlier version was renamed to \"%s\" for camera "
               "%s.",
               kTakeOver, legacyPath.c_str(), fileName.c_str(), camera.c_str());
}

}  // namespace talvane
