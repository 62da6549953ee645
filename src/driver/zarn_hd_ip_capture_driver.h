// CZarnHDIPCaptureDriver: the driver object of the Zarn HD camera family. Sets the family's
// time-outs and video standard when it opens, makes H.264-over-HTTP channels and the PTZ handler.
#pragma once

#include "driver/ip_capture_driver.h"

namespace talvane {

class CZarnHDIPCaptureDriver final : public CIPCaptureDriver {
public:
    CZarnHDIPCaptureDriver() = default;
    ~CZarnHDIPCaptureDriver() override = default;

    bool Open(IHostDebugSink* sink, IFrameAllocator* allocator, IDriverConfig* config) override;
    bool Initialize() override { return true; }
    bool CreatePtzHandler() override;
    ICameraChannel* CreateChannel(uint32_t index, IChannelSink* sink) override;

    static constexpr int32_t kFamilyTimeoutMs = 10000;

private:
    bool OpenFamily(IHostDebugSink* sink, IFrameAllocator* allocator, IDriverConfig* config);
};

}  // namespace talvane
