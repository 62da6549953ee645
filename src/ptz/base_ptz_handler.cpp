#include "ptz/base_ptz_handler.h"

#include <memory>
#include <new>
#include <utility>

#include "core/boundary_guard.h"
#include "http/hutils.h"
#include "http/result_def.h"
#include "http/text_utils.h"

namespace talvane {

CBasePTZHandler::CBasePTZHandler(IDriver* owner, std::string name)
    : owner_(owner), name_(std::move(name)) {}

CBasePTZHandler::~CBasePTZHandler() {
    // The controls' preset lists hold copies of the reader: they go first.
    CBasePTZHandler::ReleasePtzControls();
    reader_.Release();
}

IIPPTZApiEx* CBasePTZHandler::GetControl(uint32_t channel) {
    return GetPtzControl(channel);
}

IIPPTZApiEx* CBasePTZHandler::GetPtzControl(uint32_t channel) {
    return GuardBoundary(owner_, "talvane::CBasePTZHandler::GetPtzControl",
                         static_cast<IIPPTZApiEx*>(nullptr),
                         [&] { return GetPtzControlUnguarded(channel); });
}

IIPPTZApiEx* CBasePTZHandler::GetPtzControlUnguarded(uint32_t channel) {
    if (channel >= channelCount_) return nullptr;
    auto found = controls_.find(channel);
    if (found != controls_.end() && found->second != nullptr) return found->second;
    if (name_.empty()) return nullptr;
    if (!reader_ && !InitializeXMLStorage()) return nullptr;

    std::unique_ptr<CBasePTZControl> control(CreatePtzControl(channel));
    if (!control) return nullptr;
    if (!control->Initialize(reader_)) return nullptr;
    controls_[channel] = control.get();
    return control.release();
}

void CBasePTZHandler::ReleasePtzControls() {
    for (auto& entry : controls_) {
        delete entry.second;
        entry.second = nullptr;
    }
    controls_.clear();
}

std::string CBasePTZHandler::PresetFolder() const {
    const char* folder =
        owner_ != nullptr ? owner_->GetParameterText(kPresetFolderParameter) : nullptr;
    return folder != nullptr ? std::string(folder) : std::string();
}

bool CBasePTZHandler::InitializeXMLStorage() {
    static constexpr const char* kOperation = "talvane::CBasePTZHandler::InitializeXMLStorage";
    CResultDef result("");
    std::string fileName;
    GetPresetFileName(fileName);
    if (fileName.empty()) {
        result.message = HUtils::FormatString(
            "%s: PTZ module cannot be initialized! Name of file for preset storing was not "
            "defined",
            kOperation);
        result.code = 3;
        result.level = kLogFailure;
    } else {
        reader_.Reset(new (std::nothrow) CXMLPrepositionReader(name_, owner_));
        if (!reader_) {
            result.message = HUtils::FormatString(
                "%s: not enough memory for creating CXMLPrepositionReader object", kOperation);
            result.code = 5;
            result.level = kLogFailure;
        } else if (const std::string folder = PresetFolder();
                   !reader_->OpenFile(fileName, folder)) {
            const std::string shown =
                folder.empty() ? fileName : CXMLSettingsAPI::FullPath(fileName, folder);
            result.message = HUtils::FormatString(
                "%s: cannot initialize CXMLPrepositionReader object with parameter \"%s\"",
                kOperation, shown.c_str());
            // A file that failed to load is tried again at each preset operation (which fail
            // until it loads); only an unusable file name leaves the module without one.
            result.code = reader_->HasFileName() ? 0 : 1;
            result.level = kLogFailure;
        }
    }
    if (!result.message.empty() && owner_ != nullptr && HUtils::ShouldLog(*owner_)) {
        owner_->Log(result.level, "%s", result.message.c_str());
    }
    return result.code == 0;
}

}  // namespace talvane
