// CBasePTZComm: the camera-independent half of the object that drives one camera channel's PTZ
// head.
//
// Every request of the PTZ control becomes a work item executed on this object's own thread
// ("BaseIPPTZThread_Ch<channel + 1>"), so the host's calling thread never waits for the camera. At
// most one request waits behind the one being executed: a newer request replaces an older one that
// has not started. Requests for features the capabilities lack are refused with -19 before
// queueing; requests while the thread is not running are refused with -18 (false for stops) and
// logged. The camera family derives from it, executes the items (ProcessItem) and implements the
// camera side of presets (IPrepositionComm).
//
// Threads: the request operations, Open, Close and the capability queries run on host threads (the
// control's callers); ProcessItem runs on the PTZ thread only, one item at a time. Log may be
// called from any thread. Close waits for the PTZ thread at most its stop bound (SetStopBound); a
// thread that outlasts it (a camera request held in a host-name lookup) is let go and logged at
// level 1, and the object must then be given up with Discard, which leaves its deletion to the
// thread. The PTZ thread reaches the owner only to log (LogFromPtzThread), through a gate that
// Close shuts before it lets the thread go, so a let-go thread calls nothing of the owner any
// more. A derived class whose ProcessItem uses its own members must end the thread (EndThread) in
// its own destructor.
//
// Ownership: owned by the PTZ control; the owner (the driver's IDriver, the log sink and source of
// the connection record) is borrowed and may be null (then nothing is logged).
#pragma once

#include <atomic>
#include <cstdint>

#include "core/host_gate.h"
#include "core/idriver.h"
#include "preset/preposition_comm.h"
#include "ptz/ptz_capabilities.h"
#include "thread/work_item_thread.h"
#include "zarn/ptz.h"

namespace talvane {

class CBasePTZComm : public CWorkItemThreadEx, public IPrepositionComm {
public:
    // Kinds of request (CWorkItem::message).
    enum Message : int32_t {
        kMessageMove = 1,
        kMessageFocus = 2,
        kMessageIris = 3,
        kMessageStop = 4,
        kMessageAreaZoom = 5,
        kMessageCenter = 6,
        kMessageUnzoom = 7,
    };
    // Sub-kinds (CWorkItem::code) of focus, iris and stop requests.
    enum Code : int32_t {
        kCodeNone = 0,
        kCodeFocusFar = 1,
        kCodeFocusNear = 2,
        kCodeIrisOpen = 3,
        kCodeIrisClose = 4,
        kCodeStopMoving = 5,
        kCodeStopZooming = 6,
        kCodeStopFocusing = 7,
        kCodeStopIrisChanging = 8,
    };

    // One queued request. Owned by the queue from the moment it is posted.
    class CWorkItem : public CWorkItemThreadEx::IWorkItem {
    public:
        int32_t message = 0;
        int32_t code = kCodeNone;
        IIPParams* context = nullptr;  // the requesting control's parameters, not owned
        int32_t speed = 0;
        int32_t p1 = 0;  // StartMove: the direction
        int32_t p2 = 0;
        int32_t p3 = 0;
    };

    // The thread's request queue keeps at most this many items, the one waiting included.
    static constexpr uint32_t kMaxPending = 1;

    CBasePTZComm(IDriver* owner, const CPtzCapabilities& capabilities, uint16_t channel);
    ~CBasePTZComm() override;

    // Starts the PTZ thread if it does not run yet; true when it runs.
    virtual bool Open();
    // Stops the thread (the item in progress finishes first, within the stop bound); false when
    // it was not started.
    virtual bool Close();
    // Closes and deletes the object: at once, or on its let-go thread once that has ended. The
    // caller gives the object up.
    void Discard();
    // True when any of pan, tilt, zoom, focus or iris is supported.
    virtual bool IsPtzSupported();
    // Fills the host's record from the capabilities (its first field is left alone); always 1.
    virtual int32_t GetCapabilities(PtzCapabilityRecord* record);

    // Formats the message and hands the finished text to the owner's Log at the same level.
    void Log(int32_t level, const char* format, ...) override __attribute__((format(printf, 3, 4)));

    // Motion requests: 1 posted, -19 capability missing, -18 not posted (thread not running).
    int32_t StartMove(IIPParams* context, int32_t direction, int32_t speed);
    int32_t StartIris(IIPParams* context, bool open, int32_t speed);
    int32_t StartFocus(IIPParams* context, bool nearFocus, int32_t speed);
    int32_t AreaZoom(IIPParams* context, int32_t a, int32_t b, int32_t c, int32_t speed);
    int32_t Unzoom(IIPParams* context, int32_t speed);
    int32_t Center(IIPParams* context, int32_t x, int32_t y, int32_t speed);
    // Stop requests need no capability; true when posted.
    bool StopMoving(IIPParams* context);
    bool StopZooming(IIPParams* context);
    bool StopFocusing(IIPParams* context);
    bool StopIrisChanging(IIPParams* context);

    const CPtzCapabilities& Capabilities() const { return capabilities_; }
    uint16_t Channel() const { return channel_; }
    bool IsStarted() const { return started_.load(); }

protected:
    IDriver* Owner() const { return owner_; }
    // Log for ProcessItem: skipped once the thread has been let go (the owner may be gone).
    void LogFromPtzThread(int32_t level, const char* format, ...)
        __attribute__((format(printf, 3, 4)));

private:
    // Posts `item` with the pending limit; logs the refusal with `operation` when it was not
    // queued.
    bool PostRequest(const char* operation, CWorkItem* item);
    int32_t PostMotion(const char* operation, CWorkItem* item);

    uint16_t channel_;
    CPtzCapabilities capabilities_;
    IDriver* owner_;
    std::atomic<bool> started_{false};
    CHostGate ownerGate_;  // closed for good when the thread is let go
};

}  // namespace talvane
