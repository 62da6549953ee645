// CH264MediaParser: turns the camera's H.264 part payloads into host frames.
//
// Payloads: one that starts with 00 00 00 00 01 begins a NAL unit (its header is byte 5); one whose
// first three bytes are not all zero continues the NAL unit in progress, its first byte being a
// filler (with no unit in progress, or when the unit's start was dropped as damage, it is damage
// too, as is any other payload). The parser keeps every NAL unit with a three-byte start code,
// groups them into access units (a picture with the parameter sets and SEI in front of it) and
// delivers each access unit, followed by an access unit delimiter (00 00 01 09 30), as one host
// frame once the next picture begins; delimiters the camera sends itself are dropped. Frames are
// "H264" when they carry a readable SPS within their first 64 bytes (the picture size is taken
// from it, cropped in the units its chroma format and field coding give) and "I264" otherwise.
// Until the first such frame, and again after any damage (unknown NAL type, short slice, oversize
// access unit, refused frame), frames are dropped, so the host's stream always starts at a key
// frame. Deliveries follow a schedule of one frame period per frame: a frame that is ready early
// waits for its turn, a late one goes at once, and frames that queued up behind a late one go a
// little more often than the period until the lag is made up (see CCatchUpSchedule).
//
// Threads: see CHttpMediaParser; everything runs on the channel's worker thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "media/catch_up_schedule.h"
#include "media/http_media_parser.h"

namespace talvane {

// Reads bits most significant first from a byte range. A bit at or past the end is never read from
// memory: it counts as 1 and marks the reader as overrun. Exp-Golomb values that cannot fit in 32
// bits mark it as overrun too.
class CH264BitReader {
public:
    CH264BitReader(const uint8_t* begin, const uint8_t* end) : current_(begin), end_(end) {}

    uint32_t Bit();
    uint32_t Bits(unsigned count);  // count <= 32
    uint32_t Ue();
    bool Overrun() const { return overrun_; }

private:
    const uint8_t* current_;
    const uint8_t* end_;
    uint8_t bitIndex_ = 0;
    bool overrun_ = false;
};

struct H264PictureSize {
    uint32_t width = 0;
    uint32_t height = 0;
};

class CH264MediaParser final : public CHttpMediaParser {
public:
    // Limit of an access unit (and of parameter sets waiting for their picture).
    static constexpr size_t kMaxFrameBytes = 0xA00000;  // 10 MiB
    // An SPS is looked for only among start codes beginning in the first bytes of a frame.
    static constexpr size_t kSpsSearchBytes = 64;
    // Largest picture side accepted from an SPS.
    static constexpr uint32_t kMaxPictureSide = 0xFFFF;

    CH264MediaParser(IDriver* owner, const std::string& name);
    ~CH264MediaParser() override = default;

    void Parse(std::vector<uint8_t>& payload) override;
    void Reset() override;
    uint64_t NextDueMs() const override;

    // Looks for an SPS starting in the first 64 bytes of `data` and reads the picture size from
    // it. False when there is none, it runs past the end of `data`, or the size is not sensible.
    static bool FindPictureSize(const uint8_t* data, size_t size, H264PictureSize* picture);
    // Buffer capacity asked of the host for a frame of `total` bytes.
    static uint32_t CapacityFor(size_t total);
    // The host's size class of a picture.
    static uint32_t SizeClassFor(uint32_t width, uint32_t height);

    bool Resyncing() const { return resync_; }
    size_t FrameBytes() const { return frame_.size(); }
    size_t PendingBytes() const { return pending_.size(); }

private:
    void CheckSliceStart(const std::vector<uint8_t>& payload);
    void DeliverFrame();
    void Pace();

    bool resync_ = true;
    bool pendingIsSlice_ = true;
    bool droppedUnit_ = false;   // the last unit start was dropped as damage, and its rest with it
    SYSTEMTIME previousTime_{};  // host stamp of the last delivered frame
    CCatchUpSchedule schedule_;
    std::vector<uint8_t> frame_;
};

}  // namespace talvane
