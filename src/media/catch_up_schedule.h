// CCatchUpSchedule: when each frame of a paced stream may go to the host.
//
// Frames go one period apart on a schedule kept on the monotonic clock: a frame that is ready early
// waits for its time, and a wait that ends late does not push the later frames back. Frames that
// come late (a slow picture, a stalled link, a busy camera) leave the host behind the camera by the
// lateness, the lag. While the following frames are already waiting, which is what a camera that
// sent its held pictures in a burst leaves behind, the schedule catches up: each frame goes a
// quarter period early until the lag is gone. The host then gets frames three quarters of a period
// apart (at most 4/3 of the rate it asked for, never a burst), and a stall of S drains in about 3
// S. When frames are not waiting at their early time twice in a row, nothing is queued and the lag
// cannot be made up: it is forgotten, and the schedule follows the camera from there. A frame
// counts as waiting when it was complete soon after the reader could first look for it (its due
// time, or later when the reader woke or came back from the host late), so a busy machine's late
// wake-ups do not read as an empty queue.
//
// A plain value without locks, used by the one thread that delivers the stream's frames.
#pragma once

#include <cstdint>

namespace talvane {

class CCatchUpSchedule {
public:
    // Each frame of a catch-up goes this fraction of a period early.
    static constexpr uint32_t kCatchUpDivisor = 4;
    // Frames not waiting in a row that end a catch-up.
    static constexpr uint32_t kMissesToGiveUp = 2;

    // A frame is ready at `nowMs` on a stream paced to `periodMs` (not 0); the reader began looking
    // for it at `lookedMs` (0: at its due time). Returns how long it waits before it goes (0: at
    // once). The first frame, and the first after a change of period, goes at once and starts the
    // schedule.
    uint32_t OnFrameReady(uint64_t nowMs, uint32_t periodMs, uint64_t lookedMs = 0);
    // Time before which the next frame does not go; 0 before the first frame.
    uint64_t NextDueMs() const;
    // A new stream (nothing of the old one is queued), or no pacing: start again.
    void Restart() { *this = CCatchUpSchedule(); }

    // How far behind the schedule the frames are, in milliseconds.
    uint64_t LagMs() const { return lagMs_; }

private:
    // How early the next frame may go.
    uint64_t StepMs() const;

    bool started_ = false;
    uint32_t periodMs_ = 0;
    uint64_t lastMs_ = 0;  // when the last frame went (or was due, after a wait)
    uint64_t lagMs_ = 0;
    uint32_t misses_ = 0;
};

}  // namespace talvane
