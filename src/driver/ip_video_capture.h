// CIPVideoCapture: the host's handle on video. One slot per camera input; the host starts, restarts,
// stops and queries the channel of each slot. Channels come from the driver's ICustomCreator.
//
// Threads: every operation runs on a host thread. The lock guards only the slot table; channels are
// started, stopped and discarded outside it. The host does not drive one index from two threads at
// once. A channel leaves its slot by being discarded (ICameraChannel::Discard): a channel whose
// worker had to be let go is deleted by that worker once it ends, never under its feet.
#pragma once

#include <memory>
#include <vector>

#include "channel/camera_channel_iface.h"
#include "core/idriver.h"
#include "driver/custom_creator.h"
#include "thread/recursive_lock.h"
#include "zarn/capture.h"

namespace talvane {

class CIPVideoCapture final : public ipcapture::IIPVideoCaptureEx {
public:
    // `log` (borrowed, may be null) hears of failures caught at the boundary: the slots the host
    // calls let no exception out (GuardBoundary) and answer false instead.
    CIPVideoCapture(ICustomCreator* creator, uint32_t channelCount, IDebugMessage* log = nullptr);
    // Stops and discards every channel, in index order.
    ~CIPVideoCapture();
    ZARN_IMPLEMENT_SLOT0(CIPVideoCapture)

    uint32_t GetChannelCount() override;
    bool StartChannel(uint32_t index, IChannelSink* sink, IStreamSettings* settings) override;
    bool StopChannel(uint32_t index) override;
    bool ReconfigureChannel(uint32_t index, IResolution* resolution, int32_t periodMs) override;
    int32_t Reserved5() override { return 0; }
    bool GetChannelState(uint32_t index, int32_t* state, int32_t* code, char* text,
                         uint32_t size) override;
    bool Reserved7(uint32_t, void*, uint32_t) override { return false; }
    bool Reserved8(uint32_t, void*, uint32_t) override { return false; }
    bool Reserved9(void*) override { return false; }
    bool Reserved10(void*) override { return false; }

private:
    bool StartChannelUnguarded(uint32_t index, IChannelSink* sink, IStreamSettings* settings);

    using ChannelPtr = std::unique_ptr<ICameraChannel, ChannelDiscarder>;

    // Takes the channel out of its slot (null when empty or out of range).
    ChannelPtr Take(uint32_t index);
    // The channel in its slot, left there (null when empty or out of range).
    ICameraChannel* Find(uint32_t index);

    ICustomCreator* creator_;
    IDebugMessage* log_;
    CRecursiveLock lock_;
    std::vector<ChannelPtr> channels_;
};

}  // namespace talvane
