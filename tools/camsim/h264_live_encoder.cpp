#include "h264_live_encoder.h"

#include <x264.h>

namespace zarncam {

struct H264LiveEncoder::Picture {
    x264_picture_t in{};
    bool allocated = false;
    ~Picture() {
        if (allocated) x264_picture_clean(&in);
    }
};

H264LiveEncoder::H264LiveEncoder() = default;

H264LiveEncoder::~H264LiveEncoder() {
    if (encoder_ != nullptr) x264_encoder_close(encoder_);
}

bool H264LiveEncoder::Open(const StreamConfig& config, int framePeriodMs,
                           const EncoderStyle& style) {
    if (encoder_ != nullptr) return false;
    x264_param_t param;
    if (x264_param_default_preset(&param, "ultrafast", "zerolatency") < 0) return false;
    param.i_log_level = X264_LOG_NONE;
    param.i_threads = 1;
    param.b_sliced_threads = 0;
    param.i_slice_count = 0;
    param.i_width = config.width;
    param.i_height = config.height;
    param.i_csp = X264_CSP_I420;
    // The rate also goes into the SPS's timing information, which players read.
    param.i_fps_num = framePeriodMs > 0 ? 1000u : static_cast<uint32_t>(config.frameRate);
    param.i_fps_den = framePeriodMs > 0 ? static_cast<uint32_t>(framePeriodMs) : 1u;
    param.i_timebase_num = param.i_fps_den;
    param.i_timebase_den = param.i_fps_num;
    param.i_keyint_max = config.iFrameInterval;
    param.i_keyint_min = config.iFrameInterval;
    param.i_scenecut_threshold = 0;
    param.b_intra_refresh = 0;
    param.rc.i_rc_method = X264_RC_ABR;
    param.rc.i_bitrate = config.bitRateKbps;
    param.rc.i_vbv_max_bitrate = config.bitRateKbps;
    param.rc.i_vbv_buffer_size = config.bitRateKbps;
    param.b_repeat_headers = 1;
    param.b_annexb = 1;
    param.b_aud = style.accessUnitDelimiters ? 1 : 0;
    param.b_interlaced = style.interlaced ? 1 : 0;
    // The baseline profile has no interlaced coding.
    if (x264_param_apply_profile(&param, style.interlaced ? "main" : "baseline") < 0) return false;

    picture_ = std::make_unique<Picture>();
    if (x264_picture_alloc(&picture_->in, X264_CSP_I420, config.width, config.height) < 0) {
        return false;
    }
    picture_->allocated = true;
    encoder_ = x264_encoder_open(&param);
    if (encoder_ == nullptr) return false;
    pattern_ = std::make_unique<TestPattern>(config.width, config.height);
    return true;
}

bool H264LiveEncoder::EncodeNext(std::vector<NalUnit>& nals, bool& keyFrame) {
    nals.clear();
    keyFrame = false;
    if (encoder_ == nullptr) return false;
    x264_image_t& img = picture_->in.img;
    pattern_->Render(frame_, img.plane[0], img.i_stride[0], img.plane[1], img.i_stride[1],
                     img.plane[2], img.i_stride[2]);
    picture_->in.i_pts = static_cast<int64_t>(frame_);
    ++frame_;

    x264_nal_t* out = nullptr;
    int count = 0;
    x264_picture_t encoded;
    if (x264_encoder_encode(encoder_, &out, &count, &picture_->in, &encoded) < 0) return false;
    for (int i = 0; i < count; ++i) {
        const uint8_t* p = out[i].p_payload;
        std::size_t n = static_cast<std::size_t>(out[i].i_payload);
        // Drop the Annex B start code (00 00 01 or 00 00 00 01).
        while (n > 0 && *p == 0) {
            ++p;
            --n;
        }
        if (n == 0 || *p != 1) continue;
        ++p;
        --n;
        if (n == 0) continue;
        nals.push_back(NalUnit{p[0] & 0x1F, p, n});
    }
    keyFrame = count > 0 && encoded.b_keyframe != 0;
    return true;
}

}  // namespace zarncam
