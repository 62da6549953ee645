// The Windows build of zarnhost: Debian has no Windows builds of libavcodec, libswscale or libpng,
// so the decoder and the PNG writer say that they are not there. Everything else (statistics, the
// raw .h264 file, PTZ, presets, the capability query, watch) works as on Linux.
#include "h264_decoder.h"
#include "png_writer.h"

namespace zarnhost {

namespace {
constexpr const char* kNoDecoding =
    "the Windows build of zarnhost does not decode video (no snapshots, .mkv or .mp4)";
}

H264Decoder::H264Decoder() : error_(kNoDecoding) {}

H264Decoder::~H264Decoder() = default;

bool H264Decoder::Decode(const uint8_t*, size_t) {
    return false;
}

void H264Decoder::Flush() {}

int H264Decoder::Width() const {
    return 0;
}

int H264Decoder::Height() const {
    return 0;
}

bool H264Decoder::NewestPicture(RgbPicture*) const {
    return false;
}

bool H264Decoder::Send(AVPacket*) {
    return false;
}

std::string WritePng(const std::string& path, const RgbPicture&) {
    return "cannot write " + path + ": " + kNoDecoding;
}

}  // namespace zarnhost
