#include "driver/ip_capture_driver.h"

#include <cstdio>
#include <new>
#include <vector>

#include "core/boundary_guard.h"
#include "core/debug_info.h"
#include "driver/ip_video_capture.h"
#include "http/text_utils.h"
#include "ptz/ptz_handler_factory.h"

namespace talvane {

namespace {

std::string SafeText(const char* text) {
    return text != nullptr ? std::string(text) : std::string();
}

// More channels than any camera of this kind has: a host value above it is treated as damage.
constexpr uint32_t kMaxChannels = 256;

}  // namespace

CIPCaptureDriver::CIPCaptureDriver() = default;

CIPCaptureDriver::~CIPCaptureDriver() {
    Close();
    parameters_.clear();
}

bool CIPCaptureDriver::Open(IHostDebugSink* sink, IFrameAllocator* allocator,
                            IDriverConfig* config) {
    return GuardBoundary(this, "talvane::CIPCaptureDriver::Open", false,
                         [&] { return OpenUnguarded(sink, allocator, config); });
}

bool CIPCaptureDriver::OpenUnguarded(IHostDebugSink* sink, IFrameAllocator* allocator,
                                     IDriverConfig* config) {
    sink_ = sink;
    allocator_ = allocator;
    if (config == nullptr) {
        Log(kLogFailure, "%s: no configuration was given", "talvane::CIPCaptureDriver::Open");
        return false;
    }
    INetworkSettings* network = config->GetNetworkSettings();
    IDeviceSettings* deviceSettings = config->GetDeviceSettings();
    if (network == nullptr || deviceSettings == nullptr) {
        Log(kLogFailure, "%s: the configuration has no %s settings",
            "talvane::CIPCaptureDriver::Open", network == nullptr ? "network" : "device");
        return false;
    }

    streamKind_ = network->GetStreamKind();
    deviceValues_.value1 = deviceSettings->GetDeviceValue1();
    deviceValues_.value2 = deviceSettings->GetDeviceValue2();

    device_.address = SafeText(network->GetAddress());
    device_.port = network->GetPort();
    device_.user = SafeText(network->GetUserName());
    device_.password = SafeText(network->GetPassword());

    for (int32_t index = 1;; ++index) {
        const char* text = config->GetExtraParameter(index);
        if (text == nullptr) break;
        parameters_[index] = text;
    }

    hostCore_ = platform::HostCoreVersion();

    if (!Initialize()) return false;
    if (!CreatePtzHandler()) return false;

    uint32_t channels = deviceSettings->GetChannelCount();
    if (channels > kMaxChannels) {
        Log(kLogFailure, "%s: the configuration asks for %u channels; using %u",
            "talvane::CIPCaptureDriver::Open", channels, kMaxChannels);
        channels = kMaxChannels;
    }
    // Without memory for it the driver stays open without video (GetVideoCapture gives null).
    try {
        videoCapture_ = std::make_unique<CIPVideoCapture>(this, channels, this);
    } catch (const std::bad_alloc&) {
        videoCapture_.reset();
        Log(kLogFailure, "%s: not enough memory for the video capture object",
            "talvane::CIPCaptureDriver::Open");
    }
    return true;
}

void CIPCaptureDriver::Close() {
    GuardBoundary(this, "talvane::CIPCaptureDriver::Close", [&] {
        videoCapture_.reset();
        DestroyPtzHandler(ptzHandler_);
    });
}

ipcapture::IIPVideoCapture* CIPCaptureDriver::GetVideoCapture() {
    return videoCapture_.get();
}

ipcapture::IIPVideoCaptureEx* CIPCaptureDriver::GetVideoCaptureEx() {
    return videoCapture_.get();
}

IIPPTZDriver* CIPCaptureDriver::GetPtzDriver() {
    return PtzHandlerInterface(ptzHandler_);
}

IIPPTZDriverEx* CIPCaptureDriver::GetPtzDriverEx() {
    return PtzHandlerInterface(ptzHandler_);
}

int CIPCaptureDriver::MapLogLevel(int32_t level, const platform::Version& hostCore) {
    if (level == kLogSilent) return -1;
    int mapped = level & 0x0F;
    const bool oldCore = hostCore.major < 5 || (hostCore.major == 5 && hostCore.minor < 12);
    if (mapped == kLogNotice && oldCore) mapped = 2;
    return mapped;
}

void CIPCaptureDriver::Log(int32_t level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    LogV(level, format, args);
    va_end(args);
}

void CIPCaptureDriver::LogV(int32_t level, const char* format, va_list args) {
    const int mapped = MapLogLevel(level, hostCore_);
    if (mapped < 0 || sink_ == nullptr || format == nullptr) return;
    // Logging is called from stop paths and destructors: a record that cannot be built (no
    // memory) is dropped rather than thrown at the caller.
    try {
        const std::string text = HUtils::FormatStringV(format, args);
        CDebugInfo record(static_cast<uint8_t>(mapped), text.c_str());
        sink_->Output(&record);
    } catch (...) {
    }
}

DEVICE_INFO* CIPCaptureDriver::GetDeviceInfo(DEVICE_INFO* info) {
    if (info != nullptr) *info = device_;
    return info;
}

DeviceValues* CIPCaptureDriver::GetDeviceValues(DeviceValues* values) {
    if (values != nullptr) *values = deviceValues_;
    return values;
}

const char* CIPCaptureDriver::GetParameterText(int32_t index) {
    auto it = parameters_.find(index);
    return it == parameters_.end() ? nullptr : it->second.c_str();
}

int32_t CIPCaptureDriver::GetParameterInt(int32_t index) {
    const char* text = GetParameterText(index);
    int32_t value = 0;
    if (text == nullptr || !HUtils::ParseInt(text, value)) return kNoParameter;
    return value;
}

}  // namespace talvane
