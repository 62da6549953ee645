#include "h264_decoder.h"

#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

namespace zarnhost {

H264Decoder::H264Decoder() {
    av_log_set_level(AV_LOG_QUIET);
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
    if (codec == nullptr) {
        error_ = "libavcodec has no H.264 decoder";
        return;
    }
    context_ = avcodec_alloc_context3(codec);
    scratch_ = av_frame_alloc();
    newest_ = av_frame_alloc();
    packet_ = av_packet_alloc();
    if (context_ == nullptr || scratch_ == nullptr || newest_ == nullptr || packet_ == nullptr ||
        avcodec_open2(context_, codec, nullptr) < 0) {
        error_ = "cannot open the H.264 decoder";
        avcodec_free_context(&context_);
    }
}

H264Decoder::~H264Decoder() {
    avcodec_free_context(&context_);
    av_frame_free(&scratch_);
    av_frame_free(&newest_);
    av_packet_free(&packet_);
}

bool H264Decoder::Send(AVPacket* packet) {
    const int sent = avcodec_send_packet(context_, packet);
    bool ok = sent >= 0 || sent == AVERROR(EAGAIN) || sent == AVERROR_EOF;
    for (;;) {
        const int got = avcodec_receive_frame(context_, scratch_);
        if (got == AVERROR(EAGAIN) || got == AVERROR_EOF) break;
        if (got < 0) {
            ok = false;
            break;
        }
        av_frame_unref(newest_);
        av_frame_move_ref(newest_, scratch_);
        ++pictures_;
    }
    if (!ok) ++errors_;
    return ok;
}

bool H264Decoder::Decode(const uint8_t* data, size_t size) {
    if (context_ == nullptr || size == 0 || size > INT32_MAX - AV_INPUT_BUFFER_PADDING_SIZE) {
        return false;
    }
    // libavcodec reads up to AV_INPUT_BUFFER_PADDING_SIZE bytes past the end of a packet.
    padded_.assign(data, data + size);
    padded_.resize(size + AV_INPUT_BUFFER_PADDING_SIZE, 0);
    av_packet_unref(packet_);
    packet_->data = padded_.data();
    packet_->size = static_cast<int>(size);
    return Send(packet_);
}

void H264Decoder::Flush() {
    if (context_ == nullptr) return;
    Send(nullptr);
}

int H264Decoder::Width() const {
    return HasPicture() ? newest_->width : 0;
}
int H264Decoder::Height() const {
    return HasPicture() ? newest_->height : 0;
}

bool H264Decoder::NewestPicture(RgbPicture* out) const {
    if (!HasPicture() || newest_->width <= 0 || newest_->height <= 0) return false;
    const int w = newest_->width;
    const int h = newest_->height;
    SwsContext* sws = sws_getContext(w, h, static_cast<AVPixelFormat>(newest_->format), w, h,
                                     AV_PIX_FMT_RGB24, SWS_BILINEAR, nullptr, nullptr, nullptr);
    if (sws == nullptr) return false;
    out->width = w;
    out->height = h;
    out->pixels.assign(static_cast<size_t>(w) * 3 * static_cast<size_t>(h), 0);
    uint8_t* dst[4] = {out->pixels.data(), nullptr, nullptr, nullptr};
    int dstStride[4] = {w * 3, 0, 0, 0};
    const int rows = sws_scale(sws, newest_->data, newest_->linesize, 0, h, dst, dstStride);
    sws_freeContext(sws);
    return rows == h;
}

}  // namespace zarnhost
