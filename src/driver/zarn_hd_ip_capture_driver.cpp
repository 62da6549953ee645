#include "driver/zarn_hd_ip_capture_driver.h"

#include "channel/channel_factory.h"
#include "core/boundary_guard.h"
#include "ptz/ptz_handler_factory.h"

namespace talvane {

CZarnHDIPCaptureDriver::~CZarnHDIPCaptureDriver() {
    Close();
}

bool CZarnHDIPCaptureDriver::Open(IHostDebugSink* sink, IFrameAllocator* allocator,
                                  IDriverConfig* config) {
    return GuardBoundary(this, "talvane::CZarnHDIPCaptureDriver::Open", false,
                         [&] { return OpenFamily(sink, allocator, config); });
}

bool CZarnHDIPCaptureDriver::OpenFamily(IHostDebugSink* sink, IFrameAllocator* allocator,
                                        IDriverConfig* config) {
    if (!CIPCaptureDriver::Open(sink, allocator, config)) return false;

    device_.requestTimeoutMs = kFamilyTimeoutMs;
    device_.noDataTimeoutMs = kFamilyTimeoutMs;

    const int32_t standard = GetParameterInt(1);
    if (standard != kNoParameter) videoStandard_ = standard;

    const char* firmware = GetParameterText(3);
    if (firmware == nullptr || *firmware == '\0') firmware = "(none)";

    // Model, address and port are read from the host's configuration again, in this order.
    IDeviceSettings* device = config->GetDeviceSettings();
    const char* model = device != nullptr ? device->GetModelName() : nullptr;
    INetworkSettings* network = config->GetNetworkSettings();
    const char* address = network != nullptr ? network->GetAddress() : nullptr;
    network = config->GetNetworkSettings();
    const unsigned port = network != nullptr ? network->GetPort() : 0u;
    Log(kLogNotice, "DRIVER IS OPENED (name: %s, device model: %s, FW: %s, address: %s:%u)",
        "ZarnHDIPCapture", model != nullptr ? model : "", firmware,
        address != nullptr ? address : "", port);
    return true;
}

bool CZarnHDIPCaptureDriver::CreatePtzHandler() {
    if (!ptzHandler_) ptzHandler_ = CreateZarnPtzHandler(this);
    return true;
}

ICameraChannel* CZarnHDIPCaptureDriver::CreateChannel(uint32_t index, IChannelSink* sink) {
    if (streamKind_ != kStreamKindH264Http) return nullptr;
    return CreateH264HttpChannel(this, index, sink);
}

}  // namespace talvane
