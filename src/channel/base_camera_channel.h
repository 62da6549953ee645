// CBaseCameraChannel: the transport-independent part of a camera channel. It runs the worker
// thread (whose body, Run, the derived class supplies), keeps the channel state and the camera's
// online flag, logs every change of the online flag once, and records when the host last took a
// frame.
//
// Threads and ownership: the video capture object creates, starts, stops, restarts and deletes a
// channel on host threads (never one channel from two threads at once). The worker thread runs
// Run, which calls SetState, SetCameraState, TouchFrameTime and MillisecondsSinceLastFrame; those
// are safe from both threads. Stopping is cooperative: the stop event is set, BeforeThreadJoin lets
// the derived class cut short any blocking I/O, and the thread is joined, so once Stop returns the
// worker has ended and touches nothing any more. The driver and the sink are borrowed and must
// outlive the channel. A derived class whose Run uses its own members must call Stop in its own
// destructor.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

#include "channel/camera_channel_iface.h"
#include "core/idriver.h"
#include "platform/platform.h"
#include "thread/recursive_lock.h"
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
    // thread cannot be created (or params is null).
    bool Start(const StreamParams* params) override;
    // Ends the worker and reports the camera offline; the state is 3 afterwards.
    void Stop() override;
    // New frame period and size, the current quality kept; restarts the worker. The online flag
    // is left alone.
    bool Restart(const StreamParams* params) override;
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
    // The parameters the worker runs with; stable while a worker runs.
    const StreamParams& Params() const { return params_; }

protected:
    // The worker thread's body; returns when the stop event is set (or earlier).
    virtual int32_t Run() = 0;
    // Called on the stopping thread after the stop event is set, before the worker is joined.
    virtual void BeforeThreadJoin() {}
    // Called before a worker thread is created (no worker runs then).
    virtual void BeforeThreadStart() {}

    IDriver* Driver() const { return driver_; }
    IChannelSink* Sink() const { return sink_; }
    platform::Event& StopEvent() { return stopEvent_; }
    bool StopRequested() const { return stopEvent_.IsSet(); }

private:
    bool LaunchWorker();
    void StopWorker();
    void TakeParams(const StreamParams& params, bool keepQuality, const char* method);

    // The online flag, and a flag that keeps it from turning on while Stop runs (a frame the
    // host takes during a stop must not bring the camera back online after Stop reported it
    // offline). One atomic word, so that both are judged together.
    static constexpr uint32_t kOnlineBit = 1;
    static constexpr uint32_t kStoppingBit = 2;
    std::atomic<uint32_t> camera_{0};
    CRecursiveLock stateLock_;
    int32_t state_ = kChannelStopped;
    CRecursiveLock timeLock_;
    uint64_t lastFrameMs_ = 0;
    bool haveFrameTime_ = false;
    const uint32_t index_;
    IDriver* const driver_;
    IChannelSink* const sink_;
    StreamParams params_;
    std::thread worker_;
    platform::Event stopEvent_{true, false};
    bool networking_ = false;  // this channel started the socket layer (owner's thread only)
};

}  // namespace talvane
