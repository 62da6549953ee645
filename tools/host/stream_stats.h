// StreamStats: counts of a running stream (frames, key frames, bytes, picture size) with rates
// over the whole run and over a sliding window for the live status line.
//
// Used on one thread (the stream command's main loop); times come from the caller so the figures
// follow the arrival times of the frames rather than the moment they are counted.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>

namespace zarnhost {

class StreamStats {
public:
    using Clock = std::chrono::steady_clock;

    explicit StreamStats(Clock::duration window = std::chrono::seconds(2));

    void AddFrame(uint64_t bytes, bool keyFrame, uint32_t width, uint32_t height,
                  Clock::time_point arrivedAt);

    uint64_t Frames() const { return frames_; }
    uint64_t KeyFrames() const { return keyFrames_; }
    uint64_t Bytes() const { return bytes_; }
    uint32_t Width() const { return width_; }
    uint32_t Height() const { return height_; }
    bool Started() const { return frames_ > 0; }
    Clock::time_point FirstFrameAt() const { return first_; }
    Clock::time_point LastFrameAt() const { return last_; }

    // Seconds from the first to the last frame.
    double Duration() const;
    // Frames per second from the first to the last frame: (frames - 1) / duration; 0 below two
    // frames.
    double Fps() const;
    // Kilobits per second over the run.
    double Kbps() const;
    // The same over the frames of the last `window` before `now`.
    double WindowFps(Clock::time_point now) const;
    double WindowKbps(Clock::time_point now) const;

    // Stretches without video: a gap is any time between two frames, or between the last frame
    // and the end of the run, longer than the threshold (a few frame periods). The stretch before
    // the first frame is the camera's start-up and is not counted.
    void SetGapThreshold(Clock::duration threshold) { gapThreshold_ = threshold; }
    // Ends the run at `end`: the time since the last frame counts as a gap when it is one.
    void Finish(Clock::time_point end);
    uint64_t Gaps() const { return gaps_; }
    double MissingSeconds() const;
    double LongestGapSeconds() const;
    // Seconds from the first frame to the beginning of the longest gap.
    double LongestGapAfterSeconds() const;

private:
    struct Sample {
        Clock::time_point at;
        uint64_t bytes;
    };
    void Trim(Clock::time_point now) const;
    void NoteStretch(Clock::time_point from, Clock::time_point to);

    Clock::duration window_;
    uint64_t frames_ = 0;
    uint64_t keyFrames_ = 0;
    uint64_t bytes_ = 0;
    uint32_t width_ = 0;
    uint32_t height_ = 0;
    Clock::time_point first_{};
    Clock::time_point last_{};
    mutable std::deque<Sample> recent_;
    Clock::duration gapThreshold_ = std::chrono::seconds(1);
    uint64_t gaps_ = 0;
    Clock::duration missing_{};
    Clock::duration longest_{};
    Clock::time_point longestFrom_{};
    bool finished_ = false;
};

}  // namespace zarnhost
