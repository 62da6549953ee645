#include "video_file_writer.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

#ifndef ZARNHOST_NO_DECODING
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavcodec/bsf.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libavutil/mem.h>
}
#endif

namespace zarnhost {

#ifndef ZARNHOST_NO_DECODING
namespace {

constexpr AVRational kMilliseconds{1, 1000};

std::string AvError(int averror) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(averror, text, sizeof text);
    return text;
}

// The SPS and PPS of an Annex B key frame, as Annex B, found by libavcodec's extract_extradata
// filter. Empty when the frame carries none.
std::vector<uint8_t> ParameterSets(const uint8_t* data, size_t size) {
    std::vector<uint8_t> out;
    const AVBitStreamFilter* filter = av_bsf_get_by_name("extract_extradata");
    AVBSFContext* bsf = nullptr;
    if (filter == nullptr || av_bsf_alloc(filter, &bsf) < 0) return out;
    bsf->par_in->codec_type = AVMEDIA_TYPE_VIDEO;
    bsf->par_in->codec_id = AV_CODEC_ID_H264;
    AVPacket* packet = av_packet_alloc();
    if (packet != nullptr && av_bsf_init(bsf) >= 0 &&
        av_new_packet(packet, static_cast<int>(size)) >= 0) {
        std::memcpy(packet->data, data, size);
        if (av_bsf_send_packet(bsf, packet) >= 0 && av_bsf_receive_packet(bsf, packet) >= 0) {
            size_t length = 0;
            const uint8_t* sets =
                av_packet_get_side_data(packet, AV_PKT_DATA_NEW_EXTRADATA, &length);
            if (sets != nullptr) out.assign(sets, sets + length);
        }
    }
    av_packet_free(&packet);
    av_bsf_free(&bsf);
    return out;
}

}  // namespace
#endif

VideoFileWriter::~VideoFileWriter() {
    Close();
}

std::optional<VideoFileWriter::Format> VideoFileWriter::FormatFor(const std::string& path) {
    const size_t dot = path.rfind('.');
    if (dot == std::string::npos || path.find('/', dot) != std::string::npos) return std::nullopt;
    std::string ext = path.substr(dot + 1);
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (ext == "mkv") return Format::kMatroska;
    if (ext == "mp4") return Format::kMp4;
    if (ext == "h264" || ext == "264") return Format::kRawH264;
    return std::nullopt;
}

bool VideoFileWriter::Fail(const std::string& what, int averror) {
    if (!failed_) {
        failed_ = true;
#ifdef ZARNHOST_NO_DECODING
        error_ = "cannot write " + path_ + ": " + what +
                 (averror != 0 ? ": error " + std::to_string(averror) : "");
#else
        error_ =
            "cannot write " + path_ + ": " + what + (averror != 0 ? ": " + AvError(averror) : "");
#endif
    }
    return false;
}

bool VideoFileWriter::Open(const std::string& path, int periodMs, std::string* error) {
    Close();
    path_ = path;
    periodMs_ = periodMs > 0 ? periodMs : 40;
    failed_ = false;
    error_.clear();
    frames_ = 0;
    const auto format = FormatFor(path);
    if (!format) {
        *error = "cannot write " + path + ": unknown extension (use .mkv, .mp4 or .h264)";
        return false;
    }
    format_ = *format;
    if (format_ == Format::kRawH264) {
        raw_ = std::fopen(path.c_str(), "wb");
        if (raw_ == nullptr) {
            *error = "cannot write " + path + ": " + std::strerror(errno);
            return false;
        }
        open_ = true;
        return true;
    }
#ifdef ZARNHOST_NO_DECODING
    *error = "cannot write " + path + ": " + kNoContainers;
    return false;
#else
    av_log_set_level(AV_LOG_QUIET);
    const char* muxer = format_ == Format::kMatroska ? "matroska" : "mp4";
    int rc = avformat_alloc_output_context2(&context_, nullptr, muxer, path.c_str());
    if (rc >= 0 && context_ != nullptr) {
        stream_ = avformat_new_stream(context_, nullptr);
        if (stream_ == nullptr) rc = AVERROR(ENOMEM);
    }
    // The file is created now, so that a path that cannot be written fails before streaming.
    if (rc >= 0) rc = avio_open(&context_->pb, path.c_str(), AVIO_FLAG_WRITE);
    if (rc < 0) {
        *error = "cannot write " + path + ": " + AvError(rc);
        avformat_free_context(context_);
        context_ = nullptr;
        stream_ = nullptr;
        return false;
    }
    open_ = true;
    return true;
#endif
}

#ifndef ZARNHOST_NO_DECODING
bool VideoFileWriter::StartContainer(const uint8_t* data, size_t size, uint32_t width,
                                     uint32_t height) {
    const std::vector<uint8_t> sets = ParameterSets(data, size);
    if (sets.empty()) return Fail("the first frame carries no SPS and PPS");
    AVCodecParameters* par = stream_->codecpar;
    par->codec_type = AVMEDIA_TYPE_VIDEO;
    par->codec_id = AV_CODEC_ID_H264;
    par->codec_tag = 0;
    par->width = static_cast<int>(width);
    par->height = static_cast<int>(height);
    par->extradata = static_cast<uint8_t*>(av_mallocz(sets.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    if (par->extradata == nullptr) return Fail("out of memory");
    std::memcpy(par->extradata, sets.data(), sets.size());
    par->extradata_size = static_cast<int>(sets.size());
    stream_->time_base = kMilliseconds;
    const int rc = avformat_write_header(context_, nullptr);
    if (rc < 0) return Fail("the container header", rc);
    headerWritten_ = true;
    return true;
}

bool VideoFileWriter::WritePacket(const Pending& pending, int64_t durationMs) {
    AVPacket* packet = av_packet_alloc();
    if (packet == nullptr || av_new_packet(packet, static_cast<int>(pending.data.size())) < 0) {
        av_packet_free(&packet);
        return Fail("out of memory");
    }
    std::memcpy(packet->data, pending.data.data(), pending.data.size());
    packet->stream_index = stream_->index;
    packet->pts = pending.pts;
    packet->dts = pending.pts;
    packet->duration = durationMs;
    if (pending.keyFrame) packet->flags |= AV_PKT_FLAG_KEY;
    av_packet_rescale_ts(packet, kMilliseconds, stream_->time_base);
    const int rc = av_interleaved_write_frame(context_, packet);
    av_packet_free(&packet);
    return rc < 0 ? Fail("a frame", rc) : true;
}
#endif

bool VideoFileWriter::Write(const uint8_t* data, size_t size, bool keyFrame, uint32_t width,
                            uint32_t height, int64_t stampMs) {
    if (!open_ || failed_) return false;
    if (size == 0) return true;
    if (format_ == Format::kRawH264) {
        if (std::fwrite(data, 1, size, raw_) != size) return Fail(std::strerror(errno));
        ++frames_;
        return true;
    }
#ifdef ZARNHOST_NO_DECODING
    (void)keyFrame;
    (void)width;
    (void)height;
    (void)stampMs;
    return false;
#else
    if (!headerWritten_) {
        if (!keyFrame) return true;  // nothing decodable before the first key frame
        if (!StartContainer(data, size, width, height)) return false;
        firstStampMs_ = stampMs;
    }
    Pending next;
    next.data.assign(data, data + size);
    next.keyFrame = keyFrame;
    next.pts = stampMs - firstStampMs_;
    if (pending_) {
        // Decode order is presentation order here (no B-frames); time stamps must grow even if the
        // host's clock was set back or two frames got the same millisecond.
        next.pts = std::max(next.pts, pending_->pts + 1);
        lastIntervalMs_ = next.pts - pending_->pts;
        if (!WritePacket(*pending_, lastIntervalMs_)) return false;
    } else {
        next.pts = std::max<int64_t>(next.pts, 0);
    }
    pending_ = std::move(next);
    ++frames_;
    return true;
#endif
}

bool VideoFileWriter::Close() {
    if (!open_) return !failed_;
    open_ = false;
    if (raw_ != nullptr) {
        if (std::fclose(raw_) != 0) Fail(std::strerror(errno));
        raw_ = nullptr;
        return !failed_;
    }
#ifndef ZARNHOST_NO_DECODING
    if (context_ != nullptr) {
        if (headerWritten_) {
            // The last frame lasts as long as the one before it, unless that one ended in a gap.
            const int64_t last = lastIntervalMs_ > 0 && lastIntervalMs_ <= 4 * int64_t{periodMs_}
                                     ? lastIntervalMs_
                                     : periodMs_;
            if (pending_ && !failed_) WritePacket(*pending_, last);
            const int rc = av_write_trailer(context_);
            if (rc < 0) Fail("the container index", rc);
        }
        const int rc = avio_closep(&context_->pb);
        if (rc < 0) Fail("closing the file", rc);
        avformat_free_context(context_);
        context_ = nullptr;
        stream_ = nullptr;
    }
#endif
    headerWritten_ = false;
    pending_.reset();
    lastIntervalMs_ = 0;
    return !failed_;
}

}  // namespace zarnhost
