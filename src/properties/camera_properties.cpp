#include "properties/camera_properties.h"

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

    result->SetModelName(model.c_str());
    result->SetCapability(kCapVideoChannels, videoChannelCount);
    if (inputCount != 0) result->SetCapability(kCapInputs, inputCount);
    if (outputCount != 0) result->SetCapability(kCapOutputs, outputCount);
    if (audioSupported) result->SetCapability(kCapAudio, 1);
    if (ptzSupported) result->SetCapability(kCapPtz, 1);
    result->SetCapability(kCap11, capability11 ? 1 : 0);
    result->SetCapability(kCap12, capability12 ? 1 : 0);

    for (formatCursor = 0; formatCursor < formatCodes.size(); ++formatCursor) {
        const int32_t code = formatCodes[formatCursor];
        if (code == 0) break;
        const int32_t capability = FormatCapability(code);
        if (capability >= 0) result->SetCapability(capability, 1);
    }

    // The returned objects belong to the result object; a host that has none gets no entries.
    ICapabilityResolutionList* list = result->GetResolutionList();
    if (list != nullptr) {
        for (resolutionCursor = 0; resolutionCursor < resolutions.size(); ++resolutionCursor) {
            const ResolutionEntry& entry = resolutions[resolutionCursor];
            const std::string text = HUtils::FormatString("%dx%d", entry.width, entry.height);
            const int32_t interval = entry.intervalsMs.empty() ? 0 : entry.intervalsMs.front();
            list->Add(text.c_str(), entry.width, entry.height, interval);
        }
    }

    const std::string port = HUtils::FormatString("%u", static_cast<unsigned>(device_.port));
    const std::string* fields[] = {&device_.address, &port, &device_.user, &device_.password};
    for (int32_t index = 1; index <= 4; ++index) {
        ICapabilityTextField* field = result->GetConnectionField(index);
        if (field != nullptr) field->SetText(fields[index - 1]->c_str());
    }
    return true;
}

}  // namespace talvane
