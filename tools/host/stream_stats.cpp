#include "stream_stats.h"

namespace zarnhost {

StreamStats::StreamStats(Clock::duration window) : window_(window) {}

void StreamStats::AddFrame(uint64_t bytes, bool keyFrame, uint32_t width, uint32_t height,
                           Clock::time_point arrivedAt) {
    if (frames_ == 0) {
        first_ = arrivedAt;
    } else {
        NoteStretch(last_, arrivedAt);
    }
    last_ = arrivedAt;
    ++frames_;
    if (keyFrame) ++keyFrames_;
    bytes_ += bytes;
    if (width != 0 && height != 0) {
        width_ = width;
        height_ = height;
    }
    recent_.push_back({arrivedAt, bytes});
    Trim(arrivedAt);
}

void StreamStats::Trim(Clock::time_point now) const {
    while (!recent_.empty() && now - recent_.front().at > window_) recent_.pop_front();
}

void StreamStats::NoteStretch(Clock::time_point from, Clock::time_point to) {
    const Clock::duration stretch = to - from;
    if (stretch <= gapThreshold_) return;
    ++gaps_;
    missing_ += stretch;
    if (stretch > longest_) {
        longest_ = stretch;
        longestFrom_ = from;
    }
}

void StreamStats::Finish(Clock::time_point end) {
    if (finished_ || frames_ == 0) return;
    finished_ = true;
    if (end > last_) NoteStretch(last_, end);
}

double StreamStats::MissingSeconds() const {
    return std::chrono::duration<double>(missing_).count();
}

double StreamStats::LongestGapSeconds() const {
    return std::chrono::duration<double>(longest_).count();
}

double StreamStats::LongestGapAfterSeconds() const {
    return gaps_ == 0 ? 0.0 : std::chrono::duration<double>(longestFrom_ - first_).count();
}

double StreamStats::Duration() const {
    if (frames_ < 2) return 0.0;
    return std::chrono::duration<double>(last_ - first_).count();
}

double StreamStats::Fps() const {
    const double d = Duration();
    return d > 0.0 ? static_cast<double>(frames_ - 1) / d : 0.0;
}

double StreamStats::Kbps() const {
    const double d = Duration();
    return d > 0.0 ? static_cast<double>(bytes_) * 8.0 / 1000.0 / d : 0.0;
}

double StreamStats::WindowFps(Clock::time_point now) const {
    Trim(now);
    if (recent_.size() < 2) return 0.0;
    const double d = std::chrono::duration<double>(recent_.back().at - recent_.front().at).count();
    return d > 0.0 ? static_cast<double>(recent_.size() - 1) / d : 0.0;
}

double StreamStats::WindowKbps(Clock::time_point now) const {
    Trim(now);
    if (recent_.size() < 2) return 0.0;
    const double d = std::chrono::duration<double>(recent_.back().at - recent_.front().at).count();
    uint64_t bytes = 0;
    // The first frame of the window opens it; the bytes of the frames after it arrived within it.
    for (size_t i = 1; i < recent_.size(); ++i) bytes += recent_[i].bytes;
    return d > 0.0 ? static_cast<double>(bytes) * 8.0 / 1000.0 / d : 0.0;
}

}  // namespace zarnhost
