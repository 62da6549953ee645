// CZarnHDPTZComm: the PTZ command object of the Zarn HD camera family. It executes the queued PTZ
// requests on the PTZ thread as GET requests on "/cgi-bin/PtzConfig.cgi" (diagonal moves as
// Pelco-D frames passed through the camera) and sets, calls and clears the camera's numbered
// presets for the preset list.
//
// Threads: ProcessItem runs on the PTZ thread; the preset operations run on the host thread that
// called the control (under the preset list's lock). Both use the one owned HTTP client, so every
// request holds the client's mutex for its whole duration: a preset request waits for a motion
// request in progress and the other way round, and the client is never used by two threads at
// once. Close (and the destructor) let a motion stop that is queued or in flight reach the camera
// (at most one request time-out): a host that stops the head and then closes the driver must not
// leave it moving. Every other request is dropped, and one in flight is aborted, so a camera that
// does not answer cannot hold the host for a whole request time-out; the abort is lifted once the
// thread has ended.
//
// The host was answered when a motion request was queued, so a request the camera refuses (a
// status outside 2xx) or never answers is not reported to it; it is logged at level 4, which only
// a diagnosing host receives: the first failure of every run of failures, with the request and the
// status, so that a camera refusing every request does not flood the log. A request cut short by
// Close is not the camera's failure and is not logged.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "http/http_sender.h"
#include "http/result_def.h"
#include "ptz/base_ptz_comm.h"

namespace talvane {

class CZarnHDPTZComm : public CBasePTZComm {
public:
    // Builds the HTTP client from a copy of the owner's connection record (defaults when the owner
    // is null).
    CZarnHDPTZComm(IDriver* owner, const CPtzCapabilities& capabilities, uint16_t channel);
    ~CZarnHDPTZComm() override;

    bool Close() override;
    void ProcessItem(IWorkItem* item) override;

    // Only the slot is used; the camera names its preset "preset<slot + 1>".
    bool SetPreposition(int32_t slot, const std::string& name) override;
    bool CallPreposition(int32_t slot, const std::string& name, int32_t value) override;
    bool ClearPreposition(int32_t slot, const std::string& name) override;

    // Camera speed for a host speed (laid out for 1 slowest to 16 fastest, not clamped):
    // pan/tilt 2..9, zoom 1..3, diagonal 3..63. Saturated to the 32-bit range.
    static int32_t CameraSpeed(int32_t direction, int32_t hostSpeed);
    // The request of a move (directions 0..9; any other gives the bare Action=Set request).
    static std::string MoveRequest(int32_t direction, int32_t hostSpeed);
    // The requests of focus (codes 1 far, 2 near), iris (3 open, 4 close) and stop (5..8) items;
    // empty for any other code.
    static std::string FocusRequest(int32_t code);
    static std::string IrisRequest(int32_t code);
    static std::string StopRequest(int32_t code);
    // The request that executes `item`; empty when the item sends nothing.
    static std::string RequestFor(const CWorkItem& item);

    static constexpr const char* kBaseRequest = "/cgi-bin/PtzConfig.cgi?Action=Set";
    static constexpr int32_t kFocusIrisSpeed = 3;

private:
    // The one HTTP client, used under clientMutex_.
    bool SendCgiLocked(const std::string& object);
    // The request's outcome and the answer's status (0 when none came).
    CResultDef RequestLocked(const std::string& object, uint32_t& status);
    // Logs the first failure of a run; a success ends the run. PTZ thread only.
    void NoteMotionResult(const std::string& object, const CResultDef& result, uint32_t status);
    bool SendGetLocked(const char* operation, const std::string& object);
    static bool IsMotionStop(const IWorkItem& item);

    std::mutex clientMutex_;
    Web::CHttpSender sender_;
    // What the PTZ thread is sending, and whether Close has begun; guarded by inFlightMutex_, so
    // that Close aborts a motion request but never the stop that follows it.
    enum class InFlight { kNone, kMotion, kStop };
    std::mutex inFlightMutex_;
    InFlight inFlight_ = InFlight::kNone;
    bool closing_ = false;
    bool failing_ = false;  // the last motion request failed; PTZ thread only
};

}  // namespace talvane
