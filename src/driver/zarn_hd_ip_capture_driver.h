// CZarnHDIPCaptureDriver: the driver object of the Zarn HD camera family. Sets the family's
// time-outs and video standard when it opens, makes H.264-over-HTTP channels and the PTZ handler.
#pragma once

#include "driver/ip_capture_driver.h"

namespace talvane {

class CZarnHDIPCaptureDriver final : public CIPCaptureDriver {
public:
    CZarnHDIPCaptureDriver() = default;
    // Closes first: the channel workers call this object's IDriver services until they have
    // stopped, so they must stop before any part of the object is taken down.
    ~CZarnHDIPCaptureDriver() override;

    bool Open(IHostDebugSink* sink, IFrameAllocator* allocator, IDriverConfig* config) override;
    bool Initialize() override { return true; }
    bool CreatePtzHandler() override;
    ICameraChannel* CreateChannel(uint32_t index, IChannelSink* sink) override;

    static constexpr int32_t kFamilyTimeoutMs = 10000;

private:
    bool OpenFamily(IHostDebugSink* sink, IFrameAllocator* allocator, IDriverConfig* config);
};

}  // namespace talvane
