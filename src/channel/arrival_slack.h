// CArrivalSlack: how long past a frame's due time the stream reader sleeps, so that one wake-up
// per frame suffices.
//
// A frame is complete only once the next picture begins. After each delivery the reader sleeps
// until the next frame is due; when the camera's next picture starts a little after that time, the
// reader wakes at the due time, finds nothing, and wakes a second time when the picture arrives.
// This class watches how long the reader waited for data after its timed wake-up and, when it had
// to wait, lets it sleep that much longer (rounded up to whole milliseconds, at most kMaxSlackMs in
// all) past the due time from then on, so that the picture is already there when it wakes. A frame then goes at
// most kMaxSlackMs after it could have gone. Every kProbeFrames frames the slack is dropped once to
// see whether the camera's pictures now arrive in time without it, so that a camera whose phase
// moved is not delayed for ever.
#pragma once

#include <chrono>
#include <cstdint>

namespace talvane {

class CArrivalSlack {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr uint32_t kMaxSlackMs = 2;
    static constexpr uint32_t kProbeFrames = 25;
    // A delivery this soon after the wake-up found its data already there (the time is reading
    // and parsing what had arrived).
    static constexpr std::chrono::microseconds kBlockedAfter{200};

    // Milliseconds to sleep past the next frame's due time.
    uint32_t SlackMs() const { return slackMs_; }

    // The reader woke at `at` from its sleep until a due time.
    void OnWoke(Clock::time_point at) {
        wokeAt_ = at;
        woke_ = true;
    }

    // A frame went to the host at `at`. Only the first delivery after a wake-up counts.
    void OnDelivered(Clock::time_point at) {
        if (!woke_) return;
        woke_ = false;
        const auto waited = at - wokeAt_;
        if (waited > kBlockedAfter) {
            // Woken with some slack already and still early: the picture comes later still.
            const auto more = std::chrono::ceil<std::chrono::milliseconds>(waited).count();
            const auto total = static_cast<int64_t>(slackMs_) + more;
            slackMs_ = total >= kMaxSlackMs ? kMaxSlackMs : static_cast<uint32_t>(total);
            framesWithSlack_ = 0;
        } else if (slackMs_ > 0 && ++framesWithSlack_ >= kProbeFrames) {
            slackMs_ = 0;
            framesWithSlack_ = 0;
        }
    }

    // A new stream: nothing learned yet.
    void Reset() { *this = CArrivalSlack(); }

private:
    Clock::time_point wokeAt_{};
    bool woke_ = false;
    uint32_t slackMs_ = 0;
    uint32_t framesWithSlack_ = 0;
};

}  // namespace talvane
