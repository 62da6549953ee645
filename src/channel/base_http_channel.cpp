#include "channel/base_http_channel.h"

#include <algorithm>
#include <new>

#include "channel/part_reader.h"
#include "core/host_call.h"
#include "media/h264_media_parser.h"

namespace talvane {

namespace {

// The response body of the channel's current request, as the part reader's byte source.
class SenderByteSource final : public IByteSource {
public:
    explicit SenderByteSource(Web::CHttpSender& sender) : sender_(sender) {}
    size_t Read(uint8_t* into, size_t max) override { return sender_.ReadAvailable(into, max); }

private:
    Web::CHttpSender& sender_;
};

}  // namespace

CBaseHttpChannel::CBaseHttpChannel(uint32_t index, IDriver* driver, IChannelSink* sink,
                                   const std::string& sourceName)
    : CBaseCameraChannel(index, driver, sink),
      device_(DeviceInfoOf(driver)),
      sender_(device_),
      pacingClock_(&StopEvent()),
      parser_(new (std::nothrow) CH264MediaParser(driver, sourceName)) {
    if (parser_) {
        parser_->SetReceiver(this);
        parser_->SetClock(&pacingClock_);
        parser_->SetHostGate(&HostGate());
    }
}

CBaseHttpChannel::~CBaseHttpChannel() {
    // The worker uses the client and the parser: it must end before they go.
    EndWorker();
}

void CBaseHttpChannel::SetReconnectDelays(uint32_t afterEndMs, uint32_t afterLossMs) {
    reconnectDelayMs_ = afterEndMs;
    lostReconnectDelayMs_ = afterLossMs;
}

void CBaseHttpChannel::BeforeThreadJoin() {
    sender_.Abort();
}

void CBaseHttpChannel::BeforeThreadStart() {
    sender_.ResetAbort();
}

bool CBaseHttpChannel::NoDataTimedOut() {
    return int64_t{device_.noDataTimeoutMs} < int64_t{MillisecondsSinceLastFrame()};
}

int32_t CBaseHttpChannel::Run() {
    // A connection restarts the no-data clock only when it is the first since the start or a loss,
    // or when the connection before it delivered frames. Otherwise a camera that accepts the stream
    // and closes it again without a picture would count as running forever.
    bool fresh = true;
    for (;;) {
        bool stop = false;
        if (Connect()) {
            // Whatever the parser held of the previous stream (the picture that was still open
            // when it ended) belongs to no picture of this one: start clean, from a key frame.
            if (parser_) parser_->Reset();
            SetState(kChannelRunning);
            if (fresh || frameSinceConnect_.load()) TouchFrameTime();
            fresh = false;
            frameSinceConnect_.store(false);
            stop = ReadLoop();
        }
        sender_.CloseRequest();

        const bool lost = NoDataTimedOut();
        if (lost || stop) {
            SetState(kChannelSignalLost);
            if (IChannelSink* sink = Sink()) {
                CHostGate::Call call(&HostGate());
                if (call) CallHost([&] { sink->OnSignalLost(); });
            }
            // A stop is not a lost signal: Stop reports the camera offline itself, and a restart
            // keeps the online flag.
            if (stop) return 0;
            SetCameraState(false);
            fresh = true;
        }
        if (StopEvent().Wait(lost ? lostReconnectDelayMs_.load() : reconnectDelayMs_.load())) {
            return 0;
        }
    }
}

bool CBaseHttpChannel::ReadLoop() {
    SenderByteSource source(sender_);
    CPartReader reader(source, [this] { return StopRequested() || NoDataTimedOut(); });
    bool stop = StopRequested();
    bool timedOut = false;
    std::vector<uint8_t> payload;
    arrivalSlack_.Reset();
    while (!stop && !timedOut) {
        CPartReader::Header header = reader.ReadHeader();
        if (header.length > 0) {
            if (reader.ReadPayload(header.length, payload)) {
                if (parser_) {
                    parser_->Parse(payload);
                    if (delivered_) {
                        delivered_ = false;
                        arrivalSlack_.OnDelivered(CArrivalSlack::Clock::now());
                        WaitForNextDue();
                    }
                }
            } else {
                header.ended = true;  // cut short: the response is gone
            }
            // The payload buffer serves every part; one that a huge part grew is let go.
            if (payload.capacity() > kKeptPayloadCapacity) payload = {};
        }
        stop = StopRequested();
        if (header.ended) break;
        // Checked after every part, not only after payloads, so that a camera sending only
        // garbage or empty parts is found lost as well.
        timedOut = NoDataTimedOut();
    }
    return stop;
}

void CBaseHttpChannel::WaitForNextDue() {
    // The next frame cannot go to the host before its time on the parser's schedule, so the
    // stream is not read before then either: what the camera sends meanwhile waits in the socket
    // and is read in one go, instead of one wake-up for every piece that arrives. The frame is
    // complete only once the next picture begins, so it goes at once if that has arrived, and
    // as soon as it arrives otherwise, as before. When the camera's pictures begin a little after
    // their due times, the sleep lasts that little longer (see CArrivalSlack), so that the picture
    // is read in the same wake-up. A stop ends the wait.
    const uint64_t due = parser_ ? parser_->NextDueMs() : 0;
    if (due == 0) return;
    const uint64_t until = due + arrivalSlack_.SlackMs();
    uint64_t now = pacingClock_.NowMs();
    if (until > now) {
        pacingClock_.Wait(static_cast<uint32_t>(std::min<uint64_t>(until - now, kMaxReadPauseMs)));
        arrivalSlack_.OnWoke(CArrivalSlack::Clock::now());
        now = pacingClock_.NowMs();
    }
    // A late wake-up (a busy machine) is not the camera's lateness: the parser judges whether the
    // next frame was already waiting from this moment on.
    parser_->SetReaderLookingSince(now);
}

bool CBaseHttpChannel::OnFrame(IHostFrame* frame) {
    IChannelSink* sink = Sink();
    // Once a stop is requested the host gets no more frames.
    if (sink == nullptr || StopRequested()) return false;
    {
        CHostGate::Call call(&HostGate());
        bool taken = false;
        // A sink that throws has not taken the frame.
        if (!call || !CallHost([&] { taken = sink->OnFrame(frame); }) || !taken) return false;
    }
    frameSinceConnect_.store(true);
    delivered_ = true;
    TouchFrameTime();
    SetCameraState(true);
    return true;
}

}  // namespace talvane
