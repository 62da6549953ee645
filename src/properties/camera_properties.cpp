#include "properties/camera_properties.h"

#include "core/host_call.h"
#include "http/text_utils.h"

namespace talvane {

int32_t FormatCapability(int32_t formatCode) {
    switch (formatCode) {
        case 1:
        case 2:
            return kCapFormat1And2;
        case 4:
            return kCapFormat4;
        case 16:
            return kCapFormatH264;
        default:
            return -1;
    }
}

CCameraPropertiesEx::CCameraPropertiesEx(const DEVICE_INFO& device, int32_t videoStandard)
    : device_(device), videoStandard_(videoStandard) {}

CCameraPropertiesEx::~CCameraPropertiesEx() = default;

void CCameraPropertiesEx::Terminate() {
    terminate_.store(true, std::memory_order_release);
}

void CCameraPropertiesEx::AbortRequest() {}

bool CCameraPropertiesEx::SaveResults(ICapabilityResult* result) {
    if (result == nullptr) return false;

    // Every call into the host is preceded by a look at the host gate: a query that is being let
    // go stops writing at once. A host object that throws fails the save.
    const auto host = [&](auto&& call) { return HostOpen() && CallHost(call); };
    const auto set = [&](int32_t id, int32_t value) {
        return host([&] { result->SetCapability(id, value); });
    };
    if (!host([&] { result->SetModelName(model.c_str()); })) return false;
    if (!set(kCapVideoChannels, videoChannelCount)) return false;
    if (inputCount != 0 && !set(kCapInputs, inputCount)) return false;
    if (outputCount != 0 && !set(kCapOutputs, outputCount)) return false;
    if (audioSupported && !set(kCapAudio, 1)) return false;
    if (ptzSupported && !set(kCapPtz, 1)) return false;
    if (!set(kCap11, capability11 ? 1 : 0) || !set(kCap12, capability12 ? 1 : 0)) return false;

    for (formatCursor = 0; formatCursor < formatCodes.size(); ++formatCursor) {
        const int32_t code = formatCodes[formatCursor];
        if (code == 0) break;
        const int32_t capability = FormatCapability(code);
        if (capability >= 0 && !set(capability, 1)) return false;
    }

    // The returned objects belong to the result object; a host that has none gets no entries.
    ICapabilityResolutionList* list = nullptr;
    if (!host([&] { list = result->GetResolutionList(); })) return false;
    if (list != nullptr) {
        for (resolutionCursor = 0; resolutionCursor < resolutions.size(); ++resolutionCursor) {
            const ResolutionEntry& entry = resolutions[resolutionCursor];
            const std::string text = HUtils::FormatString("%dx%d", entry.width, entry.height);
            const int32_t interval = entry.intervalsMs.empty() ? 0 : entry.intervalsMs.front();
            if (!host([&] { list->Add(text.c_str(), entry.width, entry.height, interval); })) {
                return false;
            }
        }
    }

    const std::string port = HUtils::FormatString("%u", static_cast<unsigned>(device_.port));
    const std::string* fields[] = {&device_.address, &port, &device_.user, &device_.password};
    for (int32_t index = 1; index <= 4; ++index) {
        ICapabilityTextField* field = nullptr;
        if (!host([&] { field = result->GetConnectionField(index); })) return false;
        if (field == nullptr) continue;
        if (!host([&] { field->SetText(fields[index - 1]->c_str()); })) return false;
    }
    return true;
}

}  // namespace talvane
