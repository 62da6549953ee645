// Interfaces of the host's objects that the driver calls. The host implements them; the driver
// borrows the objects and never destroys them. Slot order is part of the contract: every slot is
// declared, and slots the driver never calls are named ReservedN.
#pragma once

#include <cstdint>

#include "zarn/abi.h"

#if defined(_WIN32)
#include <windows.h>  // SYSTEMTIME
#else
// A calendar time in UTC, field for field as the host's platform defines it.
struct SYSTEMTIME {
    uint16_t wYear;
    uint16_t wMonth;
    uint16_t wDayOfWeek;
    uint16_t wDay;
    uint16_t wHour;
    uint16_t wMinute;
    uint16_t wSecond;
    uint16_t wMilliseconds;
};
#endif
static_assert(sizeof(SYSTEMTIME) == 16);

namespace talvane {

// Four-character codes of delivered frames.
constexpr uint32_t kFourCcH264 = 0x34363248;  // "H264": the access unit carries a valid SPS
constexpr uint32_t kFourCcI264 = 0x34363249;  // "I264": any other access unit

// A log record handed to the host's debug sink; valid only during the Output call.
class CDebugInfoIf {
    ZARN_SLOT0(CDebugInfoIf)
    virtual uint8_t GetLevel() const = 0;     // 1
    virtual const char* GetText() const = 0;  // 2: null for an empty message
};

class IHostDebugSink {
    ZARN_SLOT0(IHostDebugSink)
    virtual void Output(const CDebugInfoIf* record) = 0;  // 1; called from any thread
};

// A frame buffer owned by the host's allocator.
class IHostFrame {
    ZARN_SLOT0(IHostFrame)
    virtual uint32_t GetCapacity() = 0;                 // 1
    virtual uint8_t* GetBuffer() = 0;                   // 2
    virtual uint32_t GetDataSize() = 0;                 // 3
    virtual void SetDataSize(uint32_t size) = 0;        // 4
    virtual void StampTime() = 0;                       // 5: host stamps "now" (UTC)
    virtual void SetTime(const SYSTEMTIME* time) = 0;   // 6
    virtual void GetTime(SYSTEMTIME* time) = 0;         // 7
    virtual void Reserved8() = 0;                       // 8
    virtual uint32_t GetFourCC() = 0;                   // 9
    virtual void SetFourCC(uint32_t fourcc) = 0;        // 10
    virtual uint32_t GetHeight() = 0;                   // 11
    virtual void SetHeight(uint32_t height) = 0;        // 12
    virtual uint32_t GetWidth() = 0;                    // 13
    virtual void SetWidth(uint32_t width) = 0;          // 14
    virtual uint32_t GetSizeClass() = 0;                // 15
    virtual void SetSizeClass(uint32_t sizeClass) = 0;  // 16
};

class IFrameAllocator {
    ZARN_SLOT0(IFrameAllocator)
    virtual void Reserved1() = 0;  // 1
    // 2: a frame with at least `capacity` writable bytes, or null.
    virtual IHostFrame* AllocateFrame(uint32_t fourcc, uint32_t capacity, const char* name) = 0;
    virtual void Reserved3() = 0;                      // 3
    virtual void Reserved4() = 0;                      // 4
    virtual void Reserved5() = 0;                      // 5
    virtual void ReleaseFrame(IHostFrame* frame) = 0;  // 6
};

class IDeviceSettings {
    ZARN_SLOT0(IDeviceSettings)
    virtual void Reserved1() = 0;            // 1
    virtual const char* GetModelName() = 0;  // 2
    virtual uint32_t GetChannelCount() = 0;  // 3
    virtual void Reserved4() = 0;            // 4
    virtual int32_t GetDeviceValue1() = 0;   // 5: stored by the driver, not interpreted
    virtual int32_t GetDeviceValue2() = 0;   // 6: stored by the driver, not interpreted
};

class INetworkSettings {
    ZARN_SLOT0(INetworkSettings)
    virtual const char* GetAddress() = 0;   // 1
    virtual uint16_t GetPort() = 0;         // 2
    virtual void Reserved3() = 0;           // 3
    virtual int32_t GetStreamKind() = 0;    // 4: 3 = H.264 over HTTP
    virtual const char* GetUserName() = 0;  // 5
    virtual const char* GetPassword() = 0;  // 6
};

class IDriverConfig {
    ZARN_SLOT0(IDriverConfig)
    virtual IDeviceSettings* GetDeviceSettings() = 0;    // 1
    virtual INetworkSettings* GetNetworkSettings() = 0;  // 2
    virtual void Reserved3() = 0;                        // 3
    // 4: extra parameters are numbered from 1; null past the last one.
    virtual const char* GetExtraParameter(int32_t index) = 0;
};

class IChannelSink {
    ZARN_SLOT0(IChannelSink)
    virtual bool OnFrame(IHostFrame* frame) = 0;  // 1: true when the host took the frame
    virtual void Reserved2() = 0;                 // 2
    virtual void OnSignalLost() = 0;              // 3
};

class IResolution {
    ZARN_SLOT0(IResolution)
    virtual uint16_t GetWidth() = 0;   // 1
    virtual uint16_t GetHeight() = 0;  // 2
};

// Reached through IStreamSettings slot 1.
class IStreamFormat {
    ZARN_SLOT0(IStreamFormat)
    virtual void Reserved1() = 0;              // 1
    virtual void Reserved2() = 0;              // 2
    virtual IResolution* GetResolution() = 0;  // 3
};

// Reached through IStreamSettings slot 2.
class IStreamRate {
    ZARN_SLOT0(IStreamRate)
    virtual uint16_t GetFramePeriodMs() = 0;  // 1
    virtual void Reserved2() = 0;             // 2
    virtual uint16_t GetQuality() = 0;        // 3: 0..100
};

class IStreamSettings {
    ZARN_SLOT0(IStreamSettings)
    virtual IStreamFormat* GetFormat() = 0;  // 1
    virtual IStreamRate* GetRate() = 0;      // 2
};

}  // namespace talvane
