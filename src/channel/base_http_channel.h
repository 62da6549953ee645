// CBaseHttpChannel: a camera channel whose stream is one long HTTP response of "Length: "-framed
// parts. Its worker connects (Connect, supplied by the derived class), cuts the response into
// payloads (CPartReader), feeds them to its stream parser, passes the parser's frames to the host's
// channel sink, detects a stream that no longer yields frames and reconnects until it is stopped.
//
// Ownership: the channel owns its HTTP client and its parser (a CH264MediaParser whose receiver is
// this channel). Threads: everything below runs on the worker thread except Stop/Start/Restart
// (host thread), which abort the HTTP client so that a blocked read returns at once, and the
// delay setters, which tests call before Start.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "channel/arrival_slack.h"
#include "channel/base_camera_channel.h"
#include "http/http_sender.h"
#include "media/http_media_parser.h"
#include "media/media_receiver.h"
#include "media/pacing_clock.h"

namespace talvane {

class CBaseHttpChannel : public CBaseCameraChannel, public IMediaReceiver {
public:
    static constexpr uint32_t kReconnectDelayMs = 500;
    static constexpr uint32_t kLostReconnectDelayMs = 5000;
    // Capacity of the payload buffer kept from one part to the next.
    static constexpr size_t kKeptPayloadCapacity = 1u << 20;
    // Longest pause of the stream reads between two deliveries.
    static constexpr uint32_t kMaxReadPauseMs = 1000;

    // `sourceName` is given to the host's allocator with every frame.
    CBaseHttpChannel(uint32_t index, IDriver* driver, IChannelSink* sink,
                     const std::string& sourceName);
    ~CBaseHttpChannel() override;

    // IMediaReceiver, called by the parser on the worker thread: hands the frame to the sink and,
    // when the host took it, records the frame time and reports the camera online.
    bool OnFrame(IHostFrame* frame) override;

    // Waits before reconnecting after a stream ended (normally 500 ms) and after the signal was
    // lost (normally 5000 ms).
    void SetReconnectDelays(uint32_t afterEndMs, uint32_t afterLossMs);

protected:
    int32_t Run() override;
    void BeforeThreadJoin() override;
    void BeforeThreadStart() override;

    // Configures the camera and opens the stream request on Sender(); false on failure or stop.
    virtual bool Connect() = 0;

    // Reads parts until the stream ends, the no-data time-out passes or a stop is requested.
    // Returns whether the stop event was seen.
    bool ReadLoop();

    Web::CHttpSender& Sender() { return sender_; }
    CHttpMediaParser* Parser() { return parser_.get(); }
    const DEVICE_INFO& Device() const { return device_; }
    // True when no frame was taken for longer than the no-data time-out.
    bool NoDataTimedOut();
    // After a delivery: waits (interrupted by a stop) until the parser's next frame is due.
    void WaitForNextDue();

private:
    DEVICE_INFO device_;
    Web::CHttpSender sender_;
    CPacingClock pacingClock_;
    std::unique_ptr<CHttpMediaParser> parser_;
    std::atomic<uint32_t> reconnectDelayMs_{kReconnectDelayMs};
    std::atomic<uint32_t> lostReconnectDelayMs_{kLostReconnectDelayMs};
    std::atomic<bool> frameSinceConnect_{false};  // the host took a frame on this connection
    bool delivered_ = false;  // the host took a frame since the read loop last looked (worker only)
    CArrivalSlack arrivalSlack_;  // worker only
};

}  // namespace talvane
