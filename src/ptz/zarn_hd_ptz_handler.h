// CZarnHDPTZHandler: the PTZ handler of the Zarn HD camera family: named "Zarn", one channel, the
// preset file "Zarn_<address>_<port>.preset" (see PresetFileNameFor) beside the host program or in
// the folder the host named, and controls of type CZarnHDPTZControl. Threads and ownership as
// CBasePTZHandler.
//
// Files of the earlier naming ("Zarn_<address without dots>_<port>.preset") are taken over when
// the storage is first set up: when the camera has no file of the new name, a file of the earlier
// name exists, and no other camera this process has opened maps to the same earlier name, the file
// is renamed to the new name (logged at level 3). When another camera could own it, it is left as
// it is (logged at level 3) and the camera starts a new file.
#pragma once

#include "ptz/base_ptz_handler.h"

namespace talvane {

class CZarnHDPTZHandler final : public CBasePTZHandler {
public:
    // Notes the owner's camera for the takeover rule (CPresetFileRegistry).
    explicit CZarnHDPTZHandler(IDriver* owner);
    ~CZarnHDPTZHandler() override;

    void GetPresetFileName(std::string& fileName) override;
    CBasePTZControl* CreatePtzControl(uint32_t channel) override;
    // Takes over a file of the earlier naming when the rule allows, then sets up the storage.
    bool InitializeXMLStorage() override;

    // The file name for a connection record: the address as given (a host name is kept as it is),
    // with every byte other than letters, digits, ".", "-", "_" and "~" written as %XX, so that no
    // two addresses share a name and no path separator gets in; then the port.
    static std::string PresetFileNameFor(const DEVICE_INFO& device);
    // The earlier name: the address without its dots (and path separators), then the port.
    static std::string LegacyPresetFileNameFor(const DEVICE_INFO& device);

    static constexpr const char* kName = "Zarn";

private:
    void TakeOverLegacyFile();
};

}  // namespace talvane
