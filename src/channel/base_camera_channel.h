// CBaseCameraChannel: the transport-independent part of a camera channel. It runs the worker
// thread (whose body, Run, the derived class supplies), keeps the channel state and the camera's
// online flag, logs every change of the online flag once, and records when the host last took a
// frame.
//
// Threads and ownership: the video capture object creates, starts, stops, restarts and discards a
// channel on host threads (never one channel from two threads at once). The worker thread runs
// Run, which calls SetState, SetCameraState, TouchFrameTime and MillisecondsSinceLastFrame; those
// are safe from both threads. Stopping is cooperative: the stop event is set, BeforeThreadJoin lets
// the derived class cut short any blocking I/O, and the worker is waited for, at most twice the
// request time-out of the connection record. A worker that has not ended by then (held inside a
// call into the host, or in a host-name lookup) is let go: the host gate closes, so it calls
// nothing of the host or of the driver object any more, the fact is logged at level 1, and the
// channel can no longer be started. Such a channel must not be deleted while its worker runs:
// Discard hands its deletion to the worker. The driver and the sink are borrowed; the worker
// reaches them only through the host gate. A derived class whose Run uses its own members must
// call EndWorker in its own destructor.
#pragma once

#include <atomic>
#include <cstdint>

#include "channel/camera_channel_iface.h"
#include "core/host_gate.h"
#include "core/idriver.h"
#include "platform/platform.h"
#include "thread/recursive_lock.h"
#include "thread/worker_thread.h"
#include "zarn/host.h"

namespace talvane {

class CBaseCameraChannel : public ICameraChannel {
public:
    // Frame period used when the host asks for 0 ms.
    static constexpr uint32_t kDefaultFramePeriodMs = 40;

    CBaseCameraChannel(uint32_t index, IDriver* driver, IChannelSink* sink);
    ~CBaseCameraChannel() override;
    CBaseCameraChannel(const CBaseCameraChannel&) = delete;
    CBaseCameraChannel& operator=(const CBaseCameraChannel&) = delete;

    // Stops a running worker, takes the parameters and starts a new worker. False when the
    // thread cannot be created, params is null, or an earlier worker had to be let go.
    bool Start(const StreamParams* params) override;
    // Ends the worker (or lets it go after the bound) and reports the camera offline; the state
    // is 3 afterwards.
    void Stop() override;
    // New frame period and size, the current quality kept; restarts the worker. The online flag
    // is left alone. False as Start, also when the old worker had to be let go.
    bool Restart(const StreamParams* params) override;
    // Stops the channel and deletes it: at once, or, when its worker had to be let go, on the
    // worker's thread as soon as the worker ends. The caller gives the object up.
    void Discard() override;
    int32_t GetState() override;
    void SetState(int32_t state) override;

    // Records the camera as online or offline; a change is logged once.
    void SetCameraState(bool online);
    bool IsOnline() const { return (camera_.load() & kOnlineBit) != 0; }
    // Records now as the time the host last took a frame.
    void TouchFrameTime();
    // Milliseconds since TouchFrameTime (monotonic clock); 0xFFFFFFFF when it was never called.
    uint32_t MillisecondsSinceLastFrame();

    uint32_t Index() const { return index_; }
    // How long Stop and Restart wait for the worker: twice the request time-out.
    uint32_t StopBoundMs() const { return stopBoundMs_; }
    // True once a worker had to be let go.
    bool WorkerLetGo() const { return letGo_.load(); }
    // The parameters the worker runs with; stable while a worker runs.
    const StreamParams& Params() const { return params_; }

protected:
    // The worker thread's body; returns when the stop event is set (or earlier).
    virtual int32_t Run() = 0;
    // Called on the stopping thread after the stop event is set, before the worker is joined.
    virtual void BeforeThreadJoin() {}
    // Called before a worker thread is created (no worker runs then).
    virtual void BeforeThreadStart() {}

    // For destructors: Stop, and when the worker had to be let go, wait until it has ended (unless
    // called on the worker itself), so that it never runs on a half-destroyed object.
    void EndWorker();

    // The driver and the sink may be used only inside a CHostGate::Call on HostGate().
    IDriver* Driver() const { return driver_; }
    IChannelSink* Sink() const { return sink_; }
    CHostGate& HostGate() { return hostGate_; }
    platform::Event& StopEvent() { return stopEvent_; }
    bool StopRequested() const { return stopEvent_.IsSet(); }

private:
    bool LaunchWorker();
    // Ends the worker; false when it had to be let go (or had been before).
    bool StopWorker();
    void TakeParams(const StreamParams& params, bool keepQuality, const char* method);

    // The online flag, and a flag that keeps it from turning on while Stop runs (a frame the
    // host takes during a stop must not bring the camera back online after Stop reported it
    // offline). One atomic word, so that both are judged together.
    static constexpr uint32_t kOnlineBit = 1;
    static constexpr uint32_t kStoppingBit = 2;
    std::atomic<uint32_t> camera_{0};
    CRecursiveLock stateLock_;
    int32_t state_ = kChannelStopped;
    // Monotonic time the host last took a frame; kNoFrameTime before the first. Read on every part
    // and written on every frame, so an atomic word rather than a lock.
    static constexpr uint64_t kNoFrameTime = ~uint64_t{0};
    std::atomic<uint64_t> lastFrameMs_{kNoFrameTime};
    const uint32_t index_;
    IDriver* const driver_;
    IChannelSink* const sink_;
    StreamParams params_;
    const uint32_t stopBoundMs_;
    CHostGate hostGate_;
    std::atomic<bool> letGo_{false};
    platform::Event stopEvent_{true, false};
    bool networking_ = false;  // this channel started the socket layer (owner's thread only)
    thread::CWorkerThread worker_;
};

}  // namespace talvane
