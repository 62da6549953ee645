#include "media/catch_up_schedule.h"

#include <algorithm>

namespace talvane {

namespace {

// The lag after a frame went at `at` instead of `normal`, one period after the frame before it.
uint64_t LagAfter(uint64_t lag, uint64_t at, uint64_t normal) {
    if (at >= normal) return lag + (at - normal);
    return lag - std::min(lag, normal - at);
}

}  // namespace

uint64_t CCatchUpSchedule::StepMs() const {
    return std::min<uint64_t>(lagMs_, periodMs_ / kCatchUpDivisor);
}

uint64_t CCatchUpSchedule::NextDueMs() const {
    return started_ ? lastMs_ + periodMs_ - StepMs() : 0;
}

uint32_t CCatchUpSchedule::OnFrameReady(uint64_t nowMs, uint32_t periodMs, uint64_t lookedMs) {
    if (!started_ || periodMs != periodMs_) {
        Restart();
        started_ = true;
        periodMs_ = periodMs;
        lastMs_ = nowMs;
        return 0;
    }
    const uint64_t normal = lastMs_ + periodMs_;
    const uint64_t due = normal - StepMs();
    // A frame that was already waiting is complete a little after the reader begins to look for
    // it (at its due time, or when the reader woke or came back later); one that was not comes
    // when the camera sends it, a whole step after the due time.
    const uint64_t tolerance = periodMs_ / kCatchUpDivisor / 2;
    if (nowMs <= std::max(due, lookedMs) + tolerance) {
        const uint64_t at = std::max(nowMs, due);
        lagMs_ = LagAfter(lagMs_, at, normal);
        misses_ = 0;
        lastMs_ = at;
        return static_cast<uint32_t>(at - nowMs);
    }
    if (nowMs >= normal + periodMs_) {
        // A stall: the frames behind this one were held up as long.
        lagMs_ += nowMs - normal;
        misses_ = 0;
    } else if (++misses_ >= kMissesToGiveUp) {
        // Nothing is queued: the lag cannot be made up. Only this frame's own lateness counts.
        lagMs_ = nowMs > normal ? nowMs - normal : 0;
        misses_ = 0;
    } else {
        lagMs_ = LagAfter(lagMs_, nowMs, normal);
    }
    lastMs_ = nowMs;
    return 0;
}

}  // namespace talvane
