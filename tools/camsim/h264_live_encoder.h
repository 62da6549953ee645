// Live H.264 encoder of one stream: renders the test pattern and encodes it with libx264
// (ultrafast, zero latency, baseline profile, Annex B, SPS and PPS before every IDR picture, no
// access unit delimiters, one slice per picture; EncoderStyle asks for interlaced coding in the
// main profile, or for delimiters). One instance per stream connection, used only by
// that connection's thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "camsim.h"
#include "test_pattern.h"

struct x264_t;

namespace zarncam {

struct NalUnit {
    int type = 0;                   // nal_unit_type (low five bits of the header byte)
    const uint8_t* data = nullptr;  // header byte first, no start code
    std::size_t size = 0;
};

class H264LiveEncoder {
public:
    H264LiveEncoder();
    ~H264LiveEncoder();
    H264LiveEncoder(const H264LiveEncoder&) = delete;
    H264LiveEncoder& operator=(const H264LiveEncoder&) = delete;

    // Opens the encoder for the configuration's size, frame rate (or one picture every
    // framePeriodMs when that is above 0), key-frame interval and bit rate, coded as `style`
    // says. False when libx264 refuses it.
    bool Open(const StreamConfig& config, int framePeriodMs = 0, const EncoderStyle& style = {});

    // Encodes the next picture. The NAL units stay valid until the next call. False on an
    // encoder failure.
    bool EncodeNext(std::vector<NalUnit>& nals, bool& keyFrame);

    uint64_t FramesEncoded() const { return frame_; }

private:
    struct Picture;

    x264_t* encoder_ = nullptr;
    std::unique_ptr<Picture> picture_;
    std::unique_ptr<TestPattern> pattern_;
    uint64_t frame_ = 0;
};

}  // namespace zarncam
