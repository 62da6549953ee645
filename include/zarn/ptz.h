// PTZ interfaces the driver implements for the host: the PTZ driver (handler) that hands out one
// control per camera channel, and the control itself. Results are 32-bit codes.
#pragma once

#include <cstdint>

#include "zarn/abi.h"

namespace talvane {

// Result codes of PTZ and preset operations.
enum PtzResult : int32_t {
    kPtzOk = 1,
    kPtzInvalidArgument = -3,
    kPtzFailed = -18,
    kPtzNotSupported = -19,
    kPtzPresetFailed = -23,
    kPtzPresetLimit = -26,
};

// Move directions.
enum PtzDirection : int32_t {
    kPtzLeft = 0,
    kPtzRight = 1,
    kPtzUp = 2,
    kPtzDown = 3,
    kPtzUpLeft = 4,
    kPtzUpRight = 5,
    kPtzDownLeft = 6,
    kPtzDownRight = 7,
    kPtzZoomIn = 8,
    kPtzZoomOut = 9,
};

// The host owns the record; the driver never writes the first field.
struct PtzCapabilityRecord {
    int32_t hostField;     // 1st: the host's own
    int32_t pan;           // 2nd
    int32_t tilt;          // 3rd
    int32_t zoom;          // 4th
    int32_t focus;         // 5th
    int32_t iris;          // 6th
    int32_t reserved7;     // 7th: 0
    int32_t maxPresets;    // 8th
    int32_t presetCount;   // 9th
    int32_t reserved10;    // 10th: 0
    int32_t reserved11;    // 11th: 0
    int32_t areaZoom;      // 12th
    int32_t center;        // 13th
    int32_t unzoom;        // 14th
};
static_assert(sizeof(PtzCapabilityRecord) == 14 * 4);

class IIPPTZApi {
    ZARN_SLOT0(IIPPTZApi)
    virtual int32_t IsPtzSupported() = 0;                                       // 1
    virtual int32_t Move(int32_t direction, int32_t speed) = 0;                 // 2
    virtual int32_t Stop() = 0;                                                 // 3
    virtual int32_t Center(int32_t x, int32_t y, int32_t speed) = 0;            // 4
    virtual int32_t ZoomIn(int32_t speed) = 0;                                  // 5
    virtual int32_t ZoomOut(int32_t speed) = 0;                                 // 6
    virtual int32_t Unzoom(int32_t speed) = 0;                                  // 7
    virtual int32_t AreaZoom(int32_t a, int32_t b, int32_t c, int32_t speed) = 0;  // 8
    virtual int32_t FocusNear(int32_t speed) = 0;                               // 9
    virtual int32_t FocusFar(int32_t speed) = 0;                                // 10
    virtual int32_t IrisOpen(int32_t speed) = 0;                                // 11
    virtual int32_t IrisClose(int32_t speed) = 0;                               // 12
    virtual int32_t GetCapabilities(PtzCapabilityRecord* record) = 0;           // 13
    virtual int32_t GetPresetCount() = 0;                                       // 14
    virtual int32_t GetPresetName(int32_t index, char* buffer, uint32_t size) = 0;  // 15
    virtual int32_t GotoPreset(int32_t value, const char* name) = 0;            // 16
    virtual int32_t AddPreset(const char* name) = 0;                            // 17
    virtual int32_t DeletePreset(const char* name) = 0;                         // 18
    virtual int32_t GetCurrentPresetName(char* buffer, uint32_t size) = 0;      // 19
};

class IIPPTZApiEx : public IIPPTZApi {
    ZARN_SLOT0(IIPPTZApiEx)
    virtual int32_t MapValue(int32_t value) = 0;  // 20
};

class IIPPTZDriver {
    ZARN_SLOT0(IIPPTZDriver)
    // 1: the control of a channel, or null. Forwards to IIPPTZDriverEx slot 2.
    virtual IIPPTZApiEx* GetControl(uint32_t channel) = 0;
};

class IIPPTZDriverEx : public IIPPTZDriver {
    ZARN_SLOT0(IIPPTZDriverEx)
    virtual IIPPTZApiEx* GetPtzControl(uint32_t channel) = 0;  // 2
};

}  // namespace talvane

// Parameters a PTZ control hands with each request to the camera code.
class IIPParams {
    ZARN_SLOT0(IIPParams)
    virtual int32_t GetChannel() = 0;           // 1
    virtual uint8_t GetOption1() = 0;           // 2
    virtual void SetOption1(uint8_t value) = 0;  // 3
    virtual uint8_t GetOption2() = 0;           // 4
    virtual void SetOption2(uint8_t value) = 0;  // 5
};
