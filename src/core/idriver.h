// The driver's services to its own objects: logging (IDebugMessage), the camera connection record
// (DEVICE_INFO) and the host's configuration (IDriver). The driver object implements IDriver; every
// channel, parser and PTZ object holds a borrowed pointer to it.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "zarn/host.h"

namespace talvane {

// Connection record of one camera. Copied by every object that talks to the camera.
class DEVICE_INFO {
public:
    DEVICE_INFO() = default;
    DEVICE_INFO(const DEVICE_INFO&) = default;
    DEVICE_INFO& operator=(const DEVICE_INFO&) = default;
    virtual ~DEVICE_INFO() = default;

    int32_t requestTimeoutMs = 5000;  // every phase of an HTTP request
    int32_t noDataTimeoutMs = 5000;   // without an accepted frame, a stream counts as lost
    std::string address;
    uint16_t port = 80;
    std::string user;
    std::string password;
};

// Log levels of the host's log.
enum LogLevel : int32_t {
    kLogFailure = 1,
    kLogNotice = 3,
    kLogSilent = 4,  // a failure that is never forwarded to the host
};

}  // namespace talvane

// Logging interface. Every message begins with the fully qualified name of the method that logs,
// passed as the first "%s" argument. Text from the camera or the host is always an argument, never
// the format. Log may be called from any thread.
class IDebugMessage {
public:
    virtual ~IDebugMessage() = default;
    virtual void Log(int32_t level, const char* format, ...)
        __attribute__((format(printf, 3, 4))) = 0;

    // Counter of messages offered to the log throttle (HUtils::ShouldLog); advanced atomically.
    std::atomic<uint32_t> messageCounter{0};
};

namespace talvane {

struct DeviceValues {
    int32_t value1 = 0;
    int32_t value2 = 0;
};

class IFrameAllocator;

// The driver's services, callable from any thread once the driver is open.
class IDriver : public IDebugMessage {
public:
    // Fills *info with a copy of the connection record and returns info.
    virtual DEVICE_INFO* GetDeviceInfo(DEVICE_INFO* info) = 0;
    virtual DeviceValues* GetDeviceValues(DeviceValues* values) = 0;
    virtual IFrameAllocator* GetFrameAllocator() = 0;
    virtual int32_t GetVideoStandard() = 0;
    virtual int32_t GetStreamKind() = 0;
    // Extra parameter `index` as given by the host, or null when absent. The pointer stays valid
    // for the driver's life.
    virtual const char* GetParameterText(int32_t index) = 0;
    // Extra parameter as a 32-bit integer, or kNoParameter when absent or not a number.
    virtual int32_t GetParameterInt(int32_t index) = 0;

    static constexpr int32_t kNoParameter = INT32_MIN;  // 0x80000000
};

// A copy of the driver's connection record; the defaults when there is no driver.
inline DEVICE_INFO DeviceInfoOf(IDriver* driver) {
    DEVICE_INFO device;
    if (driver != nullptr) driver->GetDeviceInfo(&device);
    return device;
}

// Extra parameter of the host's configuration naming the folder that holds the preset file
// (a host whose program folder is read-only names a writable one). Absent or empty: the file is
// kept beside the host program. Like every extra parameter it is read only when all lower ones
// are present.
constexpr int32_t kPresetFolderParameter = 6;

// Stream kind that makes H.264-over-HTTP channels.
constexpr int32_t kStreamKindH264Http = 3;

}  // namespace talvane
