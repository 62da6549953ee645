// CIPCaptureDriver: the camera-independent driver object. It answers the host's capture-driver
// interfaces, keeps the camera's connection record and the host's configuration, owns the video
// capture object and the PTZ handler, and serves logging and configuration to every other object
// through IDriver.
//
// Threads: Open, Close, the getters and destruction run on the host's thread; the IDriver services
// (Log, GetDeviceInfo, ...) are called from any thread once Open has returned, and read only
// values fixed by Open.
//
// Destruction: the derived (most-derived) class calls Close in its own destructor, so that the
// channel and PTZ threads, which call the IDriver services, have ended before the object begins
// to be taken apart.
//
// Exceptions: Open and Close run through GuardBoundary, so nothing escapes to the host; Log never
// throws (a record that cannot be formatted is dropped).
#pragma once

#include <cstdarg>
#include <map>
#include <memory>
#include <string>

#include "core/idriver.h"
#include "driver/custom_creator.h"
#include "platform/platform.h"
#include "zarn/capture.h"

namespace talvane {

class CIPVideoCapture;
class CBasePTZHandler;

class CIPCaptureDriver : public ipcapture::IIPCaptureDriverEx3,
                         public IDriver,
                         public ICustomCreator {
public:
    CIPCaptureDriver();
    ZARN_IMPLEMENT_SLOT0(CIPCaptureDriver)

    // IIPCaptureDriver .. Ex3, slots 1-9.
    bool Open(IHostDebugSink* sink, IFrameAllocator* allocator, IDriverConfig* config) override;
    void Close() override;
    ipcapture::IIPVideoCapture* GetVideoCapture() override;
    void* GetAuxiliaryCapture() override { return nullptr; }
    void* Reserved5() override { return nullptr; }
    IIPPTZDriver* GetPtzDriver() override;
    void* Reserved7() override { return nullptr; }
    ipcapture::IIPVideoCaptureEx* GetVideoCaptureEx() override;
    IIPPTZDriverEx* GetPtzDriverEx() override;

    // Slots 10 and 11: the camera family's part of Open.
    virtual bool Initialize() = 0;
    virtual bool CreatePtzHandler() = 0;

    ~CIPCaptureDriver() override;

    // IDriver.
    void Log(int32_t level, const char* format, ...) override __attribute__((format(printf, 3, 4)));
    DEVICE_INFO* GetDeviceInfo(DEVICE_INFO* info) override;
    DeviceValues* GetDeviceValues(DeviceValues* values) override;
    IFrameAllocator* GetFrameAllocator() override { return allocator_; }
    int32_t GetVideoStandard() override { return videoStandard_; }
    int32_t GetStreamKind() override { return streamKind_; }
    const char* GetParameterText(int32_t index) override;
    int32_t GetParameterInt(int32_t index) override;

    // Level byte the host receives for a log level; -1 when the record is not forwarded.
    // `forwardSilent` forwards level 4 too (see kDiagnosticLogParameter).
    static int MapLogLevel(int32_t level, const platform::Version& hostCore,
                           bool forwardSilent = false);

    // Extra parameter of the host's configuration that asks for every log record: with the value
    // 1 the level-4 failures, which a host never sees otherwise, are forwarded to its log sink as
    // level 4 (a diagnosing host such as zarnhost -v). Hosts that leave it out get the usual
    // levels.
    static constexpr int32_t kDiagnosticLogParameter = 5;

protected:
    void LogV(int32_t level, const char* format, va_list args);

private:
    bool OpenUnguarded(IHostDebugSink* sink, IFrameAllocator* allocator, IDriverConfig* config);

protected:
    IHostDebugSink* sink_ = nullptr;
    IFrameAllocator* allocator_ = nullptr;
    DEVICE_INFO device_;
    DeviceValues deviceValues_;
    int32_t streamKind_ = 0;
    int32_t videoStandard_ = 0;
    std::map<int32_t, std::string> parameters_;
    platform::Version hostCore_;
    bool forwardSilent_ = false;  // set by Open, read-only afterwards
    std::unique_ptr<CIPVideoCapture> videoCapture_;
    CBasePTZHandler* ptzHandler_ = nullptr;  // owned
};

}  // namespace talvane
