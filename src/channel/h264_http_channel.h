// CH264HttpChannel: the camera family's channel. Before every stream connection it sets the
// camera's encoder to the host's frame rate, quality and resolution with one AVConfig request,
// gives the camera a pause to apply it, and opens "/cgi-bin/video_post.cgi", which the base class
// reads and the H.264 parser cuts into frames.
//
// Threads: as CBaseHttpChannel; Connect and Configure run on the worker thread. The pause setter is
// for tests and is called before Start.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "channel/base_http_channel.h"

namespace talvane {

class CH264HttpChannel final : public CBaseHttpChannel {
public:
    static constexpr const char* kSourceName = "ZarnHDIPCapture";
    static constexpr const char* kStreamObject = "/cgi-bin/video_post.cgi";
    static constexpr uint32_t kConfigurePauseMs = 5000;
    // Extra parameter of the host's configuration that says whether the camera is HD.
    static constexpr int32_t kHdSupportParameter = 4;

    CH264HttpChannel(IDriver* driver, uint32_t index, IChannelSink* sink);
    ~CH264HttpChannel() override;

    // Pause between the encoder configuration and the stream request (normally 5000 ms).
    void SetConfigurePauseMs(uint32_t ms) { configurePauseMs_ = ms; }

    // Sends the encoder configuration for the current parameters; true when the camera accepted
    // it. Failures are logged (throttled) through the driver.
    bool Configure();

    // The AVConfig request for `params`; `hdSupport` is extra parameter 4 as an integer
    // (IDriver::kNoParameter when absent).
    static std::string BuildConfigureRequest(const StreamParams& params, int32_t hdSupport);
    // kbit/s for a picture size and quality: a base from the size, scaled by quality, at least 128.
    static uint32_t BitRateFor(uint32_t width, uint32_t height, uint32_t quality);
    // The camera's quality step: 0 for quality 68..100, 1 for 35..67, 2 for the rest.
    static uint32_t VideoQualityFor(uint32_t quality);

protected:
    bool Connect() override;

private:
    std::atomic<uint32_t> configurePauseMs_{kConfigurePauseMs};
};

}  // namespace talvane
