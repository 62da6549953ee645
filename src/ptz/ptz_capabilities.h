// CPtzCapabilities: what one camera channel's PTZ head can do. The command object keeps a copy and
// refuses requests for features that are clear (Open/StartMove and friends in CBasePTZComm); the
// host reads the flags through GetCapabilities. A plain value, copied freely; not thread-aware.
#pragma once

#include <cstdint>

namespace talvane {

class CPtzCapabilities {
public:
    // The defaults are those of this camera family: pan, tilt, zoom, focus and iris, 32 presets.
    CPtzCapabilities() = default;
    CPtzCapabilities(const CPtzCapabilities&) = default;
    CPtzCapabilities& operator=(const CPtzCapabilities&) = default;
    virtual ~CPtzCapabilities() = default;

    uint8_t pan = 1;           // gates StartMove (with tilt)
    uint8_t tilt = 1;          // gates StartMove (with pan)
    uint8_t zoom = 1;          // reported only: zoom moves go through StartMove
    uint8_t focus = 1;         // gates StartFocus
    uint8_t iris = 1;          // gates StartIris
    uint8_t areaZoom = 0;      // gates AreaZoom
    uint8_t center = 0;        // gates Center
    uint8_t unzoom = 0;        // gates Unzoom
    uint32_t maxPresets = 32;  // camera preset slots, the preset list's limit
};

}  // namespace talvane
