#include "channel/base_camera_channel.h"

#include <limits>

namespace talvane {

namespace {
constexpr const char* kSetCameraState = "talvane::CBaseCameraChannel::SetCameraState";

// Twice the request time-out of the connection record (5000 ms when it is not positive).
uint32_t StopBoundFor(IDriver* driver) {
    const int32_t timeout = DeviceInfoOf(driver).requestTimeoutMs;
    return 2u * static_cast<uint32_t>(timeout > 0 ? timeout : 5000);
}
}  // namespace

CBaseCameraChannel::CBaseCameraChannel(uint32_t index, IDriver* driver, IChannelSink* sink)
    : index_(index), driver_(driver), sink_(sink), stopBoundMs_(StopBoundFor(driver)) {}

CBaseCameraChannel::~CBaseCameraChannel() {
    EndWorker();
}

void CBaseCameraChannel::EndWorker() {
    Stop();
    if (letGo_.load() && !worker_.IsCurrent()) worker_.WaitEnded();
}

void CBaseCameraChannel::Discard() {
    Stop();
    // Deletes now, or on the let-go worker once it has ended; the worker owns the channel then.
    worker_.AtEnd([this] { delete this; });
}

bool CBaseCameraChannel::Start(const StreamParams* params) {
    Stop();
    if (params == nullptr || letGo_.load()) return false;
    TakeParams(*params, false, "talvane::CBaseCameraChannel::Start");
    // A failed socket start-up is not reported: the worker's requests will fail and say so.
    if (!networking_) networking_ = platform::StartNetworking();
    stopEvent_.Reset();
    if (LaunchWorker()) return true;
    if (networking_) {
        platform::StopNetworking();
        networking_ = false;
    }
    return false;
}

void CBaseCameraChannel::Stop() {
    SetState(kChannelStopped);
    camera_.fetch_or(kStoppingBit);
    SetCameraState(false);
    // A worker that was let go may still use the socket layer: it is released when the channel
    // is deleted after the worker ended.
    if (!StopWorker() && !worker_.IsCurrent()) {
        SetState(kChannelStopped);
        return;
    }
    if (networking_) {
        platform::StopNetworking();
        networking_ = false;
    }
    // The worker marks the state 2 when a stop ends its stream; a stopped channel reads 3.
    SetState(kChannelStopped);
    camera_.fetch_and(~kStoppingBit);
}

bool CBaseCameraChannel::Restart(const StreamParams* params) {
    SetState(kChannelStopped);
    const bool ended = StopWorker();
    SetState(kChannelStopped);
    if (params == nullptr || !ended) return false;
    TakeParams(*params, true, "talvane::CBaseCameraChannel::Restart");
    stopEvent_.Reset();
    return LaunchWorker();
}

void CBaseCameraChannel::TakeParams(const StreamParams& params, bool keepQuality,
                                    const char* method) {
    const uint32_t quality = params_.quality;
    params_ = params;
    if (keepQuality) params_.quality = quality;
    if (params_.framePeriodMs == 0) {
        params_.framePeriodMs = kDefaultFramePeriodMs;
        if (driver_ != nullptr) {
            driver_->Log(kLogNotice, "%s: Frame period 0 ms is not valid, using %u ms", method,
                         kDefaultFramePeriodMs);
        }
    }
}

bool CBaseCameraChannel::LaunchWorker() {
    BeforeThreadStart();
    return worker_.Start([this] { Run(); });
}

bool CBaseCameraChannel::StopWorker() {
    stopEvent_.Set();
    if (letGo_.load()) return false;
    if (!worker_.HasThread()) return true;
    BeforeThreadJoin();
    if (worker_.WaitFor(stopBoundMs_)) return true;

    // The worker is held where no stop request reaches it. From now on it calls nothing of the
    // host; it ends by itself once the call it is in returns.
    letGo_.store(true);
    const bool inHostCall = hostGate_.Close();
    if (driver_ != nullptr) {
        driver_->Log(
            kLogFailure,
            "%s: The worker of channel %u did not end within %u ms (%s); it is left to "
            "end by itself and calls nothing of the host any more",
            "talvane::CBaseCameraChannel::Stop", index_, stopBoundMs_,
            inHostCall ? "it is inside a call to the host" : "it is waiting on the network");
    }
    return false;
}

int32_t CBaseCameraChannel::GetState() {
    CLockGuard guard(stateLock_);
    return state_;
}

void CBaseCameraChannel::SetState(int32_t state) {
    CLockGuard guard(stateLock_);
    state_ = state;
}

void CBaseCameraChannel::SetCameraState(bool online) {
    uint32_t current = camera_.load();
    for (;;) {
        if (online && (current & kStoppingBit) != 0) return;
        if (((current & kOnlineBit) != 0) == online) return;
        const uint32_t desired = online ? (current | kOnlineBit) : (current & ~kOnlineBit);
        if (camera_.compare_exchange_weak(current, desired)) break;
    }
    // The worker reaches the driver only while the gate is open; the flag above changes anyway.
    CHostGate::Call call(&hostGate_);
    if (!call || driver_ == nullptr) return;
    DEVICE_INFO device;
    driver_->GetDeviceInfo(&device);
    const char* camera = device.address.c_str();
    if (online) {
        driver_->Log(kLogNotice, "%s: Camera %s is online", kSetCameraState, camera);
        return;
    }
    // A stop in progress is reported as a stop even if the worker changed the state meanwhile
    // (it may have just connected or found the stream lost).
    const int32_t state = (current & kStoppingBit) != 0 ? kChannelStopped : GetState();
    switch (state) {
        case kChannelStopped:
            driver_->Log(kLogNotice, "%s: Camera %s is offline. Channel was stopped",
                         kSetCameraState, camera);
            break;
        case kChannelSignalLost:
            driver_->Log(kLogFailure, "%s: Signal was lost for camera %s (channel %u)",
                         kSetCameraState, camera, index_);
            break;
        default:
            driver_->Log(kLogFailure, "%s: Camera %s is offline or failed", kSetCameraState,
                         camera);
            break;
    }
}

void CBaseCameraChannel::TouchFrameTime() {
    lastFrameMs_.store(platform::MonotonicMs());
}

uint32_t CBaseCameraChannel::MillisecondsSinceLastFrame() {
    const uint64_t last = lastFrameMs_.load();
    if (last == kNoFrameTime) return std::numeric_limits<uint32_t>::max();
    const uint64_t now = platform::MonotonicMs();
    const uint64_t elapsed = now > last ? now - last : 0;
    return elapsed > std::numeric_limits<uint32_t>::max() ? std::numeric_limits<uint32_t>::max()
                                                          : static_cast<uint32_t>(elapsed);
}

}  // namespace talvane
