#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <mutex>

#include "h264_check.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
}

namespace zarncam {
namespace {

// libavcodec reports decoding errors only through its process-wide log callback, so checks run
// one at a time and count what the callback saw meanwhile.
std::mutex g_checkMutex;
std::atomic<int> g_decoderErrors{0};

void CountDecoderErrors(void*, int level, const char* format, va_list args) {
    if (level <= AV_LOG_ERROR) {
        ++g_decoderErrors;
        std::fputs("decoder: ", stderr);
        std::vfprintf(stderr, format, args);
    }
}

}  // namespace

H264CheckResult CheckH264Stream(const std::vector<uint8_t>& stream, int width, int height) {
    H264CheckResult result;
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
    if (codec == nullptr) {
        result.errors = -1;
        return result;
    }
    std::lock_guard lock(g_checkMutex);
    AVCodecParserContext* parser = av_parser_init(AV_CODEC_ID_H264);
    AVCodecContext* context = avcodec_alloc_context3(codec);
    AVPacket* packet = av_packet_alloc();
    AVFrame* picture = av_frame_alloc();
    if (parser == nullptr || context == nullptr || packet == nullptr || picture == nullptr) {
        result.errors = -1;
    } else {
        g_decoderErrors = 0;
        av_log_set_callback(CountDecoderErrors);
        if (avcodec_open2(context, codec, nullptr) < 0) ++result.errors;

        auto drain = [&] {
            while (avcodec_receive_frame(context, picture) == 0) {
                ++result.pictures;
                if (picture->width != width || picture->height != height) {
                    result.sizeMatches = false;
                }
                if (picture->decode_error_flags != 0) ++result.errors;
            }
        };
        auto send = [&](AVPacket* p) {
            if (avcodec_send_packet(context, p) < 0) ++result.errors;
            drain();
        };
        const uint8_t* data = stream.data();
        size_t left = stream.size();
        while (left > 0) {
            uint8_t* out = nullptr;
            int outSize = 0;
            const int chunk = static_cast<int>(std::min<size_t>(left, 1u << 20));
            const int used = av_parser_parse2(parser, context, &out, &outSize, data, chunk,
                                              AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
            if (used < 0) {
                ++result.errors;
                break;
            }
            data += used;
            left -= static_cast<size_t>(used);
            if (outSize > 0) {
                packet->data = out;
                packet->size = outSize;
                send(packet);
            }
        }
        uint8_t* out = nullptr;
        int outSize = 0;
        av_parser_parse2(parser, context, &out, &outSize, nullptr, 0, AV_NOPTS_VALUE,
                         AV_NOPTS_VALUE, 0);
        if (outSize > 0) {
            packet->data = out;
            packet->size = outSize;
            send(packet);
        }
        send(nullptr);  // flush

        av_log_set_callback(av_log_default_callback);
        result.errors += g_decoderErrors.load();
    }
    av_frame_free(&picture);
    av_packet_free(&packet);
    avcodec_free_context(&context);
    av_parser_close(parser);
    return result;
}

}  // namespace zarncam
