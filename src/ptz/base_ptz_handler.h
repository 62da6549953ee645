// CBasePTZHandler: the PTZ driver the host receives from the capture driver (IIPPTZDriverEx). It
// hands out one PTZ control per camera channel, creating it on first request, and prepares the
// preset file (CXMLPrepositionReader) that the controls' preset lists share.
//
// Exceptions: GetPtzControl lets none out to the host (GuardBoundary): it answers null instead.
//
// Threads: GetControl/GetPtzControl and ReleasePtzControls run on host threads and take no lock;
// the host does not call them from two threads at once. Everything a control does afterwards is
// the control's business.
//
// Ownership: created by the driver when it opens and deleted by its Close or destructor. Owns the
// controls (they stay valid until ReleasePtzControls or destruction) and one reference to the
// preset file object. The owner (IDriver) is borrowed and may be null.
//
// Binary layout: slot 0 destroys, 1 GetControl (forwards to 2), 2 GetPtzControl; 3
// GetPresetFileName, 4 CreatePtzControl, 5 ReleasePtzControls, 6 InitializeXMLStorage follow,
// then the virtual destructor.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "core/idriver.h"
#include "core/smart_ptr.h"
#include "preset/xml_preposition_reader.h"
#include "ptz/base_ptz_control.h"
#include "zarn/abi.h"
#include "zarn/ptz.h"

namespace talvane {

// The PTZ driver interface as the driver's handlers implement it; adds nothing.
class CIPPTZDriverIf : public IIPPTZDriverEx {
protected:
    ~CIPPTZDriverIf() = default;
};

class CBasePTZHandler : public CIPPTZDriverIf {
public:
    // `name` is the handler's name and the root element of the preset file.
    CBasePTZHandler(IDriver* owner, std::string name);
    CBasePTZHandler(const CBasePTZHandler&) = delete;
    CBasePTZHandler& operator=(const CBasePTZHandler&) = delete;

    ZARN_IMPLEMENT_SLOT0(CBasePTZHandler)

    // 1: the same as GetPtzControl.
    IIPPTZApiEx* GetControl(uint32_t channel) override;
    // 2: the channel's control, created and initialized on first request; null for an unknown
    // channel or when the preset file or the control cannot be set up (a later call retries).
    IIPPTZApiEx* GetPtzControl(uint32_t channel) override;
    // 3: the preset file's name; empty when none can be formed.
    virtual void GetPresetFileName(std::string& fileName) = 0;
    // 4: a new, not yet initialized control of the camera family.
    virtual CBasePTZControl* CreatePtzControl(uint32_t channel) = 0;
    // 5: deletes every control (stopping their command threads).
    virtual void ReleasePtzControls();
    // 6: creates the preset file object and opens the file in PresetFolder(); logs a failure at
    // level 1 through the owner, subject to the log throttle. True when the file is open.
    virtual bool InitializeXMLStorage();

    virtual ~CBasePTZHandler();

    static constexpr uint32_t kChannelCount = 1;

    const std::string& HandlerName() const { return name_; }
    bool HasStorage() const { return static_cast<bool>(reader_); }

protected:
    IDriver* Owner() const { return owner_; }
    // The folder the host named for the preset file (kPresetFolderParameter); empty for the host
    // program's folder.
    std::string PresetFolder() const;

private:
    IIPPTZApiEx* GetPtzControlUnguarded(uint32_t channel);

    IDriver* owner_;
    std::map<uint32_t, CBasePTZControl*> controls_;  // owned
    uint32_t channelCount_ = kChannelCount;
    TSmartPtr<CXMLPrepositionReader> reader_;
    std::string name_;
};

}  // namespace talvane
