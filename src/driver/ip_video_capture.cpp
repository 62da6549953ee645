#include "driver/ip_video_capture.h"

#include "core/boundary_guard.h"

namespace talvane {

CIPVideoCapture::CIPVideoCapture(ICustomCreator* creator, uint32_t channelCount, IDebugMessage* log)
    : creator_(creator), log_(log), channels_(channelCount) {}

CIPVideoCapture::~CIPVideoCapture() {
    for (uint32_t i = 0; i < channels_.size(); ++i) Take(i).reset();
}

uint32_t CIPVideoCapture::GetChannelCount() { return static_cast<uint32_t>(channels_.size()); }

CIPVideoCapture::ChannelPtr CIPVideoCapture::Take(uint32_t index) {
    CLockGuard guard(lock_);
    if (index >= channels_.size()) return nullptr;
    return std::move(channels_[index]);
}

ICameraChannel* CIPVideoCapture::Find(uint32_t index) {
    CLockGuard guard(lock_);
    if (index >= channels_.size()) return nullptr;
    return channels_[index].get();
}

bool CIPVideoCapture::StartChannel(uint32_t index, IChannelSink* sink, IStreamSettings* settings) {
    return GuardBoundary(log_, "talvane::CIPVideoCapture::StartChannel", false,
                         [&] { return StartChannelUnguarded(index, sink, settings); });
}

bool CIPVideoCapture::StartChannelUnguarded(uint32_t index, IChannelSink* sink,
                                            IStreamSettings* settings) {
    if (index >= GetChannelCount()) return false;
    StopChannel(index);
    if (creator_ == nullptr) return false;
    ChannelPtr channel(creator_->CreateChannel(index, sink));
    if (!channel) return true;  // this stream kind starts no channel

    StreamParams params;
    if (settings != nullptr) {
        if (IStreamRate* rate = settings->GetRate()) {
            params.framePeriodMs = rate->GetFramePeriodMs();
            params.quality = rate->GetQuality();
        }
        if (IStreamFormat* format = settings->GetFormat()) {
            if (IResolution* resolution = format->GetResolution()) {
                params.width = resolution->GetWidth();
                params.height = resolution->GetHeight();
            }
        }
    }
    const bool started = channel->Start(&params);
    CLockGuard guard(lock_);
    channels_[index] = std::move(channel);
    return started;
}

bool CIPVideoCapture::StopChannel(uint32_t index) {
    return GuardBoundary(log_, "talvane::CIPVideoCapture::StopChannel", false, [&] {
        ChannelPtr channel = Take(index);
        if (!channel) return false;
        channel.reset();  // stops it; deleted now or by its let-go worker
        return true;
    });
}

bool CIPVideoCapture::ReconfigureChannel(uint32_t index, IResolution* resolution, int32_t periodMs) {
    return GuardBoundary(log_, "talvane::CIPVideoCapture::ReconfigureChannel", false, [&] {
        ICameraChannel* channel = Find(index);
        if (channel == nullptr) return false;
        StreamParams params;
        params.framePeriodMs = static_cast<uint32_t>(periodMs);
        if (resolution != nullptr) {
            params.width = resolution->GetWidth();
            params.height = resolution->GetHeight();
        }
        return channel->Restart(&params);
    });
}

bool CIPVideoCapture::GetChannelState(uint32_t index, int32_t* state, int32_t* code, char* text,
                                      uint32_t size) {
    return GuardBoundary(log_, "talvane::CIPVideoCapture::GetChannelState", false, [&] {
        if (code != nullptr) *code = 0;
        if (size > 0 && text != nullptr) text[0] = '\0';
        ICameraChannel* channel = Find(index);
        if (channel == nullptr) return false;
        if (state != nullptr) *state = channel->GetState();
        return true;
    });
}

}  // namespace talvane
