// CBasePTZControl: the host's handle for steering one camera channel (IIPPTZApiEx) and the
// parameters handed with each request to the camera code (IIPParams).
//
// Motion requests go to the owned command object (CBasePTZComm), which queues them for its PTZ
// thread and returns at once; preset requests go to the embedded preset list, which talks to the
// camera on the calling thread. The control remembers which kinds of motion it started so that one
// Stop stops all of them, and tells the preset list that the head left its preset whenever a
// motion request was queued.
//
// Exceptions: slots 1-19 let none out to the host (GuardBoundary): they answer -18 (motion,
// capabilities, add) or -23 (other preset slots), and GetPresetCount 0.
//
// Threads: every slot runs on host threads. The host does not call one control from two threads
// for motion at once, but preset slots and motion slots may run on different threads; the motion
// flags are atomic and the preset list has its own lock.
//
// Ownership: created and deleted by the PTZ handler; the host borrows it. The owner (IDriver) is
// borrowed. The command object is created by Initialize (CreateComm of the camera family) and
// deleted by DestroyComm or the destructor, which stops its thread before the preset list goes.
//
// Binary layout: slots 0..20 are IIPPTZApiEx; 21 DestroyComm, 22 CreateComm, 23 Initialize follow
// on every compiler. The IIPParams overrides are declared after them on purpose (GCC appends them
// to the primary table in declaration order; MSVC does not), and the virtual destructor last.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <utility>

#include "core/boundary_guard.h"
#include "core/idriver.h"
#include "core/smart_ptr.h"
#include "preset/preposition_list.h"
#include "preset/xml_preposition_reader.h"
#include "ptz/base_ptz_comm.h"
#include "zarn/abi.h"
#include "zarn/ptz.h"

namespace talvane {

class CBasePTZControl : public IIPPTZApiEx, public IIPParams {
public:
    CBasePTZControl(IDriver* owner, int32_t channel);
    CBasePTZControl(const CBasePTZControl&) = delete;
    CBasePTZControl& operator=(const CBasePTZControl&) = delete;

    ZARN_IMPLEMENT_SLOT0(CBasePTZControl)

    // IIPPTZApi
    int32_t IsPtzSupported() override;                                           // 1
    int32_t Move(int32_t direction, int32_t speed) override;                     // 2
    int32_t Stop() override;                                                     // 3
    int32_t Center(int32_t x, int32_t y, int32_t speed) override;                // 4
    int32_t ZoomIn(int32_t speed) override;                                      // 5
    int32_t ZoomOut(int32_t speed) override;                                     // 6
    int32_t Unzoom(int32_t speed) override;                                      // 7
    int32_t AreaZoom(int32_t a, int32_t b, int32_t c, int32_t speed) override;   // 8
    int32_t FocusNear(int32_t speed) override;                                   // 9
    int32_t FocusFar(int32_t speed) override;                                    // 10
    int32_t IrisOpen(int32_t speed) override;                                    // 11
    int32_t IrisClose(int32_t speed) override;                                   // 12
    int32_t GetCapabilities(PtzCapabilityRecord* record) override;               // 13
    int32_t GetPresetCount() override;                                           // 14
    int32_t GetPresetName(int32_t index, char* buffer, uint32_t size) override;  // 15
    int32_t GotoPreset(int32_t value, const char* name) override;                // 16
    int32_t AddPreset(const char* name) override;                                // 17
    int32_t DeletePreset(const char* name) override;                             // 18
    int32_t GetCurrentPresetName(char* buffer, uint32_t size) override;          // 19
    // IIPPTZApiEx
    int32_t MapValue(int32_t value) override;  // 20

    // 21: closes and deletes the command object.
    virtual void DestroyComm();
    // 22: a new, not yet opened command object of the camera family, or null.
    virtual CBasePTZComm* CreateComm() = 0;
    // 23: creates and opens the command object and attaches the preset list to it and to the
    // shared preset file (loading the stored presets). False (and no command object) when the
    // command object cannot be created or started, or the reader is empty.
    virtual bool Initialize(TSmartPtr<CXMLPrepositionReader> reader);

    // IIPParams. Declared after slots 21-23: GCC also gives these overrides of the second base
    // their own entries in the primary table, in declaration order, so here they follow 23.
    int32_t GetChannel() override;
    uint8_t GetOption1() override;
    void SetOption1(uint8_t value) override;
    uint8_t GetOption2() override;
    void SetOption2(uint8_t value) override;

    virtual ~CBasePTZControl();

    CBasePTZComm* Comm() const { return comm_.get(); }
    CPrepositionList& Presets() { return presets_; }

protected:
    IDriver* Owner() const { return owner_; }
    int32_t ChannelIndex() const { return channel_; }

private:
    // Runs the body of a slot the host calls: an exception stops here, is logged through the owner
    // and the slot answers `failure` (GuardBoundary).
    template <class Body>
    int32_t Guarded(const char* where, int32_t failure, Body&& body) {
        return GuardBoundary(owner_, where, failure, std::forward<Body>(body));
    }
    // Copies `name` into the host's buffer: -23 when there is no name, -3 when the buffer is null
    // or too small for the name and its terminator.
    static int32_t CopyName(bool found, const std::string& name, char* buffer, uint32_t size);
    // After a motion request: remembers `flag` and forgets the current preset when it was queued.
    int32_t AfterMotion(int32_t result, std::atomic<bool>* flag);
    // One stop for a motion kind: clears the flag when the stop was queued; false when refused.
    bool StopIf(std::atomic<bool>& flag, bool (CBasePTZComm::*stop)(IIPParams*));

    IDriver* owner_;
    int32_t channel_;
    std::unique_ptr<CBasePTZComm> comm_;
    CPrepositionList presets_;
    std::atomic<uint8_t> option1_{0};
    std::atomic<uint8_t> option2_{0};
    std::atomic<bool> zooming_{false};
    std::atomic<bool> focusing_{false};
    std::atomic<bool> irisChanging_{false};
    std::atomic<bool> moving_{false};
};

}  // namespace talvane
