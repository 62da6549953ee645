// The capture-driver and video-capture interfaces the driver implements for the host, and the
// exported entry points that create and destroy a driver object.
#pragma once

#include <cstdint>

#include "zarn/abi.h"
#include "zarn/host.h"
#include "zarn/ptz.h"

namespace talvane::ipcapture {

class IIPVideoCapture {
    ZARN_SLOT0(IIPVideoCapture)
    virtual uint32_t GetChannelCount() = 0;  // 1
    // 2: starts (or restarts) the channel's stream.
    virtual bool StartChannel(uint32_t index, IChannelSink* sink, IStreamSettings* settings) = 0;
    virtual bool StopChannel(uint32_t index) = 0;  // 3: true when a channel was there
    // 4: new period and size, keeping the channel's quality.
    virtual bool ReconfigureChannel(uint32_t index, IResolution* resolution, int32_t periodMs) = 0;
    virtual int32_t Reserved5() = 0;  // 5: always 0
    // 6: state 0 running, 2 signal lost, 3 stopped.
    virtual bool GetChannelState(uint32_t index, int32_t* state, int32_t* code, char* text,
                                 uint32_t size) = 0;
    virtual bool Reserved7(uint32_t a, void* b, uint32_t c) = 0;  // 7: always false
    virtual bool Reserved8(uint32_t a, void* b, uint32_t c) = 0;  // 8: always false
};

class IIPVideoCaptureEx : public IIPVideoCapture {
    ZARN_SLOT0(IIPVideoCaptureEx)
    virtual bool Reserved9(void* a) = 0;   // 9: always false
    virtual bool Reserved10(void* a) = 0;  // 10: always false
};

class IIPCaptureDriver {
    ZARN_SLOT0(IIPCaptureDriver)
    virtual bool Open(IHostDebugSink* sink, IFrameAllocator* allocator, IDriverConfig* config) = 0;  // 1
    virtual void Close() = 0;                            // 2
    virtual IIPVideoCapture* GetVideoCapture() = 0;      // 3: null before Open
    virtual void* GetAuxiliaryCapture() = 0;             // 4: always null
};

class IIPCaptureDriverEx : public IIPCaptureDriver {
    ZARN_SLOT0(IIPCaptureDriverEx)
    virtual void* Reserved5() = 0;               // 5: always null
    virtual IIPPTZDriver* GetPtzDriver() = 0;    // 6: null before Open
};

class IIPCaptureDriverEx2 : public IIPCaptureDriverEx {
    ZARN_SLOT0(IIPCaptureDriverEx2)
    virtual void* Reserved7() = 0;                       // 7: always null
    virtual IIPVideoCaptureEx* GetVideoCaptureEx() = 0;  // 8: null before Open
};

class IIPCaptureDriverEx3 : public IIPCaptureDriverEx2 {
    ZARN_SLOT0(IIPCaptureDriverEx3)
    virtual IIPPTZDriverEx* GetPtzDriverEx() = 0;  // 9: null before Open
};

}  // namespace talvane::ipcapture

// Exported entry points. The four create names are one function, as are the four delete names.
using ZarnCreateIPCaptureFn = talvane::ipcapture::IIPCaptureDriverEx3* (ZARN_CALL*)();
using ZarnDeleteIPCaptureFn = void (ZARN_CALL*)(talvane::ipcapture::IIPCaptureDriverEx3*);
