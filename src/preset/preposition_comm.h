// IPrepositionComm: the camera side of presets, as the preset list uses it, plus the log the list
// writes to. Implemented by the PTZ command object. Slots are the camera's 0-based preset slots.
// Called on host threads, under the preset list's lock.
#pragma once

#include <cstdint>
#include <string>

#include "core/idriver.h"

namespace talvane {

class IPrepositionComm : public virtual IDebugMessage {
public:
    // Stores the head's current position as this preset on the camera.
    virtual bool SetPreposition(int32_t slot, const std::string& name) = 0;
    // Moves the head to this preset; `value` is passed through from the host's go-to request.
    virtual bool CallPreposition(int32_t slot, const std::string& name, int32_t value) = 0;
    // Deletes the preset on the camera.
    virtual bool ClearPreposition(int32_t slot, const std::string& name) { return true; }
};

}  // namespace talvane
