// H264Decoder: decodes the access units the driver delivers with libavcodec and keeps the newest
// picture, which it can convert to packed RGB with libswscale (for the PNG snapshot).
//
// Used on one thread (the stream command's main loop).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct AVCodecContext;
struct AVFrame;
struct AVPacket;

namespace zarnhost {

struct RgbPicture {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> pixels;  // width * 3 bytes per row, rows top to bottom
};

class H264Decoder {
public:
    H264Decoder();
    ~H264Decoder();
    H264Decoder(const H264Decoder&) = delete;
    H264Decoder& operator=(const H264Decoder&) = delete;

    // False (with Error() set) when libavcodec has no H.264 decoder.
    bool Ready() const { return context_ != nullptr; }
    const std::string& Error() const { return error_; }

    // Decodes one access unit (Annex B). False when libavcodec rejected it.
    bool Decode(const uint8_t* data, size_t size);
    // Drains pictures the decoder still holds (end of stream).
    void Flush();

    uint64_t Pictures() const { return pictures_; }
    uint64_t Errors() const { return errors_; }
    bool HasPicture() const { return pictures_ > 0; }
    int Width() const;
    int Height() const;

    // The newest picture as RGB; false when there is none or the conversion failed.
    bool NewestPicture(RgbPicture* out) const;

private:
    bool Send(AVPacket* packet);

    AVCodecContext* context_ = nullptr;
    AVFrame* scratch_ = nullptr;
    AVFrame* newest_ = nullptr;
    AVPacket* packet_ = nullptr;
    std::vector<uint8_t> padded_;
    uint64_t pictures_ = 0;
    uint64_t errors_ = 0;
    std::string error_;
};

}  // namespace zarnhost
