#include "channel/base_camera_channel.h"

#include <limits>
#include <system_error>

namespace talvane {

namespace {
constexpr const char* kSetCameraState = "talvane::CBaseCameraChannel::SetCameraState";
}

CBaseCameraChannel::CBaseCameraChannel(uint32_t index, IDriver* driver, IChannelSink* sink)
    : index_(index), driver_(driver), sink_(sink) {}

CBaseCameraChannel::~CBaseCameraChannel() {
    Stop();
}

bool CBaseCameraChannel::Start(const StreamParams* params) {
    Stop();
    if (params == nullptr) return false;
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
    StopWorker();
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
    StopWorker();
    SetState(kChannelStopped);
    if (params == nullptr) return false;
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
    try {
        worker_ = std::thread([this] { Run(); });
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

void CBaseCameraChannel::StopWorker() {
    stopEvent_.Set();
    if (!worker_.joinable()) return;
    BeforeThreadJoin();
    worker_.join();
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
    if (driver_ == nullptr) return;
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
    const uint64_t now = platform::MonotonicMs();
    CLockGuard guard(timeLock_);
    lastFrameMs_ = now;
    haveFrameTime_ = true;
}

uint32_t CBaseCameraChannel::MillisecondsSinceLastFrame() {
    uint64_t last = 0;
    {
        CLockGuard guard(timeLock_);
        if (!haveFrameTime_) return std::numeric_limits<uint32_t>::max();
        last = lastFrameMs_;
    }
    const uint64_t now = platform::MonotonicMs();
    const uint64_t elapsed = now > last ? now - last : 0;
    return elapsed > std::numeric_limits<uint32_t>::max() ? std::numeric_limits<uint32_t>::max()
                                                          : static_cast<uint32_t>(elapsed);
}

}  // namespace talvane
