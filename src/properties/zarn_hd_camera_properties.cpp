#include "properties/zarn_hd_camera_properties.h"

#include <cstring>
#include <vector>

#include "channel/resolution_tables.h"
#include "http/hutils.h"
#include "http/text_utils.h"
#include "platform/platform.h"

namespace talvane {

namespace {

constexpr int32_t kFrameIntervalMs = 40;  // 25 frames per second
constexpr int32_t kH264FormatCode = 16;

// The text of a CGI answer up to its first NUL (the request functions end every
// body with one).
std::string BodyText(const std::vector<uint8_t>& body) {
    if (body.empty()) return std::string();
    const char* data = reinterpret_cast<const char*>(body.data());
    return std::string(data, strnlen(data, body.size()));
}

std::string ValueOf(const std::string& key, const std::string& text) {
    return HUtils::GetValue(key, "=", text, "\r\n");
}

}  // namespace

CZarnHDCameraProperties::CZarnHDCameraProperties(const DEVICE_INFO& device, int32_t videoStandard)
    : CCameraPropertiesEx(device, videoStandard), sender_(device) {}

CZarnHDCameraProperties::~CZarnHDCameraProperties() = default;

void CZarnHDCameraProperties::AbortRequest() {
    sender_.Abort();
}

// The credentials are the host's text; the camera gets their UTF-8 form, percent-encoded (text
// that is not of the host's code page goes as its bytes).
std::string CZarnHDCameraProperties::LoginRequest(const std::string& user,
                                                  const std::string& password) {
    const auto encode = [](const std::string& text) {
        std::string utf8;
        return HUtils::PercentEncode(platform::HostTextToUtf8(text, utf8) ? utf8 : text);
    };
    return "/cgi-bin/LoginConfig.cgi?Action=Check" + HUtils::FormatString("&User=%s&Password=%s",
                                                                          encode(user).c_str(),
                                                                          encode(password).c_str());
}

bool CZarnHDCameraProperties::GetProperties(int& error) {
    if (!CheckLogin(error)) return false;
    if (!ReadCapabilities()) {
        error = kErrorOther;
        return false;
    }
    if (!TerminateRequested()) FillResolutions();
    if (!TerminateRequested()) ReadPtzSupport();
    return true;
}

bool CZarnHDCameraProperties::CheckLogin(int& error) {
    // A camera without an address cannot be reached: no request at all.
    if (device_.address.empty()) {
        error = kErrorOther;
        return false;
    }
    std::vector<uint8_t> body;
    if (!HUtils::QueryCgi(body, sender_, nullptr, LoginRequest(device_.user, device_.password))) {
        error = kErrorOther;
        return false;
    }
    return ReadLoginAnswer(body, error);
}

bool CZarnHDCameraProperties::ReadLoginAnswer(const std::vector<uint8_t>& body, int& error) {
    const std::string text = BodyText(body);
    if (text.empty()) {
        error = kErrorOther;
        return false;
    }
    // A missing "Valid" line or a non-numeric value reads as 0: accepted.
    switch (HUtils::AtoiSaturated(ValueOf("Valid", text))) {
        case 0:
            return true;
        case 1:
            error = kErrorLoginRejected;
            return false;
        default:
            error = kErrorOther;
            return false;
    }
}

bool CZarnHDCameraProperties::ReadCapabilities() {
    std::vector<uint8_t> body;
    if (!HUtils::GetBody(body, sender_, "/cgi-bin/CapabilityConfig.cgi")) return false;
    return ReadCapabilityAnswer(body);
}

bool CZarnHDCameraProperties::ReadCapabilityAnswer(const std::vector<uint8_t>& body) {
    const std::string text = BodyText(body);

    const std::string productId = ValueOf("ProductID", text);
    if (productId.empty()) return false;
    manufacturer = "Zarn";
    model = manufacturer + " " + productId;

    std::string value = ValueOf("AudioNum", text);
    if (!value.empty() && HUtils::AtoiSaturated(value) != 0) audioSupported = true;
    value = ValueOf("VideoNum", text);
    if (!value.empty()) {
        const int32_t count = HUtils::AtoiSaturated(value);
        videoChannelCount = count == 0 ? 1 : count;
    }
    value = ValueOf("InPutPin", text);
    if (!value.empty()) inputCount = HUtils::AtoiSaturated(value);
    value = ValueOf("OutPutPin", text);
    if (!value.empty()) outputCount = HUtils::AtoiSaturated(value);
    value = ValueOf("HD", text);
    if (!value.empty() && HUtils::AtoiSaturated(value) != 0) hd_ = true;
    value = ValueOf("Version", text);
    if (!value.empty()) firmware_ = value;
    return true;
}

void CZarnHDCameraProperties::FillResolutions() {
    const ResolutionTable& table = hd_ ? HighResolutionTable() : StandardResolutionTable();
    // The table is ordered by width, then height.
    for (const auto& [size, code] : table) {
        ResolutionEntry entry;
        entry.defaultIntervalMs = kFrameIntervalMs;
        entry.intervalsMs = {kFrameIntervalMs};
        entry.width = size.first;
        entry.height = size.second;
        if (entry.width == 0) continue;
        bool known = false;
        for (const ResolutionEntry& existing : resolutions) {
            if (existing.width == entry.width && existing.height == entry.height) known = true;
        }
        if (!known) resolutions.push_back(std::move(entry));
    }
    formatCodes.push_back(kH264FormatCode);
}

void CZarnHDCameraProperties::ReadPtzSupport() {
    std::vector<uint8_t> body;
    const bool answered =
        HUtils::QueryCgi(body, sender_, nullptr, "/cgi-bin/PtzConfig.cgi?Action=Get");
    if (answered && !BodyText(body).empty() && !hd_) ptzSupported = true;
}

bool CZarnHDCameraProperties::SaveResults(ICapabilityResult* result) {
    if (result == nullptr) return false;

    // As in the base class: a look at the host gate before every call into the host.
    if (!HostOpen()) return false;
    ICapabilityFrameIntervalList* intervals = result->GetFrameIntervalList(1);
    if (intervals != nullptr) {
        for (int32_t i = 2; i <= 25; ++i) {
            if (!HostOpen()) return false;
            intervals->Add(1000 / i);
        }
        if (!HostOpen()) return false;
        intervals->SetDefault(kFrameIntervalMs);
    }
    for (const int32_t id : {kCap11, kCap12}) {
        if (!HostOpen()) return false;
        result->SetCapability(id, 0);
    }

    if (!CCameraPropertiesEx::SaveResults(result)) return false;

    struct Property {
        const char* name;
        std::string value;
        int32_t flag;
    };
    const Property properties[] = {
        {"Video standard", videoStandard_ != 0 ? "1" : "0", 0},
        {"RTSP Port", "554", 0},
        {"Firmware", firmware_.empty() ? std::string("(none)") : firmware_, 1},
        {"HD support", hd_ ? "1" : "0", 0},
    };
    int32_t index = 1;
    for (const Property& property : properties) {
        if (!HostOpen()) return false;
        ICapabilityCustomProperty* object = result->GetCustomProperty(index++);
        if (object == nullptr) continue;
        if (!HostOpen()) return false;
        object->SetName(property.name);
        if (!HostOpen()) return false;
        object->SetKind(0);
        if (!HostOpen()) return false;
        object->SetFlag(property.flag);
        if (!HostOpen()) return false;
        object->SetValue(property.value.c_str());
    }
    return true;
}

}  // namespace talvane
