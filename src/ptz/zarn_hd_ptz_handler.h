// CZarnHDPTZHandler: the PTZ handler of the Zarn HD camera family: named "Zarn", one channel, the
// preset file "Zarn_<address without dots>_<port>.preset" beside the host program, and controls of
// type CZarnHDPTZControl. Threads and ownership as CBasePTZHandler.
#pragma once

#include "ptz/base_ptz_handler.h"

namespace talvane {

class CZarnHDPTZHandler final : public CBasePTZHandler {
public:
    explicit CZarnHDPTZHandler(IDriver* owner);
    ~CZarnHDPTZHandler() override;

    void GetPresetFileName(std::string& fileName) override;
    CBasePTZControl* CreatePtzControl(uint32_t channel) override;

    // The file name for a connection record.
    static std::string PresetFileNameFor(const DEVICE_INFO& device);

    static constexpr const char* kName = "Zarn";
};

}  // namespace talvane
