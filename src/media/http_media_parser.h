// CHttpMediaParser: the stream parser of an HTTP media channel. The channel cuts its HTTP response
// into part payloads and hands each one to Parse; the parser turns them into host frames and gives
// those to its IMediaReceiver.
//
// Ownership and threads: the channel creates one parser, owns it, sets its receiver right after
// construction and its stream parameters before each stream start, and calls every operation on
// its worker thread only. The parser has no lock. The driver (`owner`) and the receiver are
// borrowed and must outlive the parser.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/host_gate.h"
#include "core/idriver.h"
#include "media/media_receiver.h"
#include "media/pacing_clock.h"

namespace talvane {

class CHttpMediaParser {
public:
    CHttpMediaParser(IDriver* owner, std::string name) : owner_(owner), name_(std::move(name)) {}
    virtual ~CHttpMediaParser() = default;
    CHttpMediaParser(const CHttpMediaParser&) = delete;
    CHttpMediaParser& operator=(const CHttpMediaParser&) = delete;

    // Consumes one part payload; may deliver frames to the receiver.
    virtual void Parse(std::vector<uint8_t>& payload) = 0;
    // Forgets everything received and waits for the next key frame.
    virtual void Reset() = 0;
    // Monotonic time (as IPacingClock::NowMs) before which no further frame will be delivered;
    // 0 when there is no such time (no pacing, or no frame delivered yet).
    virtual uint64_t NextDueMs() const { return 0; }

    // The stream reader begins looking for the next frame at `ms` (IPacingClock::NowMs): after its
    // sleep until NextDueMs, or at once when it did not sleep.
    void SetReaderLookingSince(uint64_t ms) { readerLookingSinceMs_ = ms; }

    void SetReceiver(IMediaReceiver* receiver) { receiver_ = receiver; }
    IMediaReceiver* Receiver() const { return receiver_; }

    // Minimum spacing of deliveries (0: none), the configured quality and picture size. The size
    // stands until a parameter set in the stream says otherwise.
    void SetStreamParams(uint32_t framePeriodMs, int32_t quality, uint32_t width, uint32_t height) {
        framePeriodMs_ = framePeriodMs;
        quality_ = quality;
        width_ = width;
        height_ = height;
    }
    uint32_t FramePeriodMs() const { return framePeriodMs_; }
    int32_t Quality() const { return quality_; }
    uint32_t Width() const { return width_; }
    uint32_t Height() const { return height_; }

    // Clock for pacing (borrowed; null restores the built-in monotonic clock with plain sleeps).
    void SetClock(IPacingClock* clock) { clock_ = clock != nullptr ? clock : &defaultClock_; }
    // Gate of every call into the host's allocator and frames (borrowed, may be null: always
    // open). Once it is closed a frame in hand is abandoned, not even released: the allocator
    // may be gone.
    void SetHostGate(CHostGate* gate) { gate_ = gate; }

    const std::string& Name() const { return name_; }
    IDriver* Owner() const { return owner_; }

protected:
    IPacingClock& Clock() { return *clock_; }
    CHostGate* Gate() const { return gate_; }

    IMediaReceiver* receiver_ = nullptr;
    uint64_t readerLookingSinceMs_ = 0;
    uint32_t framePeriodMs_ = 0;
    int32_t quality_ = 0;
    uint32_t width_ = 0;
    uint32_t height_ = 0;
    std::vector<uint8_t> pending_;
    IDriver* owner_;
    std::string name_;

private:
    CPacingClock defaultClock_;
    IPacingClock* clock_ = &defaultClock_;
    CHostGate* gate_ = nullptr;
};

}  // namespace talvane
