// ICameraChannel: what the video capture object needs of a channel, and the stream parameters a
// channel runs with.
#pragma once

#include <cstdint>

namespace talvane {

struct StreamParams {
    uint32_t framePeriodMs = 0;
    uint32_t quality = 0;  // 0..100
    uint32_t width = 0;
    uint32_t height = 0;
};

// Channel states.
enum ChannelState : int32_t {
    kChannelRunning = 0,
    kChannelSignalLost = 2,
    kChannelStopped = 3,
};

// A channel is created, started, stopped and discarded on the host's thread; its worker thread is
// its own business. Stop must return within its bound and leave nothing that touches host objects.
class ICameraChannel {
public:
    virtual ~ICameraChannel() = default;
    virtual bool Start(const StreamParams* params) = 0;
    virtual void Stop() = 0;
    // New period and size; the channel keeps its quality.
    virtual bool Restart(const StreamParams* params) = 0;
    virtual int32_t GetState() = 0;
    virtual void SetState(int32_t state) = 0;
    // Stops the channel and deletes it, now or, when its worker is still held somewhere, as soon
    // as that worker ends. The caller gives the object up.
    virtual void Discard() {
        Stop();
        delete this;
    }
};

// Owner of a channel that discards it (instead of deleting it) when it goes.
struct ChannelDiscarder {
    void operator()(ICameraChannel* channel) const {
        if (channel != nullptr) channel->Discard();
    }
};

}  // namespace talvane
