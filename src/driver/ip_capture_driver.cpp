#include "driver/ip_capture_driver.h"

#include <cstdio>
#include <new>
#include <vector>

#include "core/boundary_guard.h"
#include "core/debug_info.h"
#include "core/host_call.h"
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
    // The host's configuration objects are asked in the order the host relies on, step by step;
    // each step fetches the settings object it reads.
    static constexpr const char* kWhere = "talvane::CIPCaptureDriver::Open";
    sink_ = sink;
    allocator_ = allocator;
    if (config == nullptr) {
        Log(kLogFailure, "%s: no configuration was given", kWhere);
        return false;
    }
    const auto network = [&]() {
        INetworkSettings* settings = config->GetNetworkSettings();
        if (settings == nullptr)
            Log(kLogFailure, "%s: the configuration has no network settings", kWhere);
        return settings;
    };
    const auto device = [&]() {
        IDeviceSettings* settings = config->GetDeviceSettings();
        if (settings == nullptr)
            Log(kLogFailure, "%s: the configuration has no device settings", kWhere);
        return settings;
    };

    // 1. The stream kind (the sink and the allocator are kept above, so that failures can be
    //    logged).
    INetworkSettings* streamSettings = network();
    if (streamSettings == nullptr) return false;
    streamKind_ = streamSettings->GetStreamKind();

    // 2. The two device values.
    IDeviceSettings* deviceSettings = device();
    if (deviceSettings == nullptr) return false;
    deviceValues_.value1 = deviceSettings->GetDeviceValue1();
    deviceValues_.value2 = deviceSettings->GetDeviceValue2();

    // 3. The connection record; the time-outs keep their values.
    INetworkSettings* connection = network();
    if (connection == nullptr) return false;
    device_.address = SafeText(connection->GetAddress());
    device_.port = connection->GetPort();
    device_.user = SafeText(connection->GetUserName());
    device_.password = SafeText(connection->GetPassword());

    // 4. Extra parameters, up to the first missing one.
    for (int32_t index = 1;; ++index) {
        const char* text = config->GetExtraParameter(index);
        if (text == nullptr) break;
        parameters_[index] = text;
    }

    forwardSilent_ = GetParameterInt(kDiagnosticLogParameter) == 1;

    // 5. The host core's version.
    hostCore_ = platform::HostCoreVersion();

    // 6. The camera family's part.
    if (!Initialize()) return false;
    if (!CreatePtzHandler()) return false;

    // 7. The video capture object with the host's channel count.
    IDeviceSettings* channelSettings = device();
    if (channelSettings == nullptr) return false;
    uint32_t channels = channelSettings->GetChannelCount();
    if (channels > kMaxChannels) {
        Log(kLogFailure, "%s: the configuration asks for %u channels; using %u", kWhere, channels,
            kMaxChannels);
        channels = kMaxChannels;
    }
    // Without memory for it the driver stays open without video (GetVideoCapture gives null).
    try {
        videoCapture_ = std::make_unique<CIPVideoCapture>(this, channels, this);
    } catch (const std::bad_alloc&) {
        videoCapture_.reset();
        Log(kLogFailure, "%s: not enough memory for the video capture object", kWhere);
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

int CIPCaptureDriver::MapLogLevel(int32_t level, const platform::Version& hostCore,
                                  bool forwardSilent) {
    if (level == kLogSilent) return forwardSilent ? kLogSilent : -1;
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
    const int mapped = MapLogLevel(level, hostCore_, forwardSilent_);
    if (mapped < 0 || sink_ == nullptr || format == nullptr) return;
    // Logging is called from stop paths and destructors: a record that cannot be built (no
    // memory) is dropped rather than thrown at the caller.
    try {
        const std::string text = HUtils::FormatStringV(format, args);
        CDebugInfo record(static_cast<uint8_t>(mapped), text.c_str());
        // A sink that throws has taken nothing: the record is dropped.
        CallHost([&] { sink_->Output(&record); });
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
