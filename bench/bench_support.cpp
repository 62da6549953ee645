#include "bench_support.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "h264_live_encoder.h"
#include "stream_packetizer.h"

namespace zarnbench {

EncodedStream EncodePattern(const zarncam::StreamConfig& config, size_t pictures,
                            size_t maxPayload) {
    zarncam::H264LiveEncoder encoder;
    if (!encoder.Open(config)) {
        std::fprintf(stderr, "the x264 encoder refused %dx%d\n", config.width, config.height);
        std::abort();
    }
    const zarncam::StreamPacketizer packetizer(maxPayload);
    EncodedStream stream;
    std::vector<zarncam::NalUnit> nals;
    std::vector<std::string> parts;
    while (stream.pictures < pictures) {
        bool key = false;
        if (!encoder.EncodeNext(nals, key)) {
            std::fprintf(stderr, "the x264 encoder failed\n");
            std::abort();
        }
        if (nals.empty()) continue;  // the encoder may hold a picture back
        ++stream.pictures;
        if (key) ++stream.keyPictures;
        for (const zarncam::NalUnit& nal : nals) {
            parts.clear();
            packetizer.Packetize(nal.data, nal.size, parts);
            for (const std::string& part : parts) {
                stream.payloads.emplace_back(part.begin(), part.end());
                stream.payloadBytes += part.size();
            }
        }
    }
    return stream;
}

std::string StreamGarbage() {
    static const char kJunk[] = "\r\n--junk--\r\nX-Noise: 1\r\n\r\n\x01\x02\xfe\xff Lengt";
    std::string out(kJunk, sizeof(kJunk) - 1);
    out.append(3, '\0');
    out += "length: 12\r\n\r\nLENGTH: 7\r\n\r\nLen";
    return out;
}

std::vector<uint8_t> FrameParts(const EncodedStream& stream, bool garbage) {
    const std::string junk = StreamGarbage();
    std::vector<uint8_t> out;
    for (const auto& payload : stream.payloads) {
        if (garbage) out.insert(out.end(), junk.begin(), junk.end());
        const std::string header = zarncam::StreamPacketizer::PartHeader(payload.size());
        out.insert(out.end(), header.begin(), header.end());
        out.insert(out.end(), payload.begin(), payload.end());
    }
    return out;
}

size_t LoopingByteSource::Read(uint8_t* into, size_t max) {
    if (bytes_.empty()) return 0;
    size_t done = 0;
    while (done < max) {
        const size_t take = std::min(max - done, bytes_.size() - offset_);
        std::memcpy(into + done, bytes_.data() + offset_, take);
        done += take;
        offset_ = (offset_ + take) % bytes_.size();
    }
    delivered_ += max;
    return max;
}

talvane::IHostFrame* PooledFrameAllocator::AllocateFrame(uint32_t fourcc, uint32_t capacity,
                                                         const char* name) {
    ++allocated_;
    std::unique_ptr<zarntest::FakeFrame> frame;
    auto& pool = free_[capacity];
    if (pool.empty()) {
        frame =
            std::make_unique<zarntest::FakeFrame>(fourcc, capacity, name != nullptr ? name : "");
    } else {
        frame = std::move(pool.back());
        pool.pop_back();
        frame->allocFourcc = fourcc;
        frame->dataSize = 0;
        frame->fourcc = 0;
    }
    talvane::IHostFrame* handle = frame.get();
    live_.emplace(handle, std::move(frame));
    return handle;
}

void PooledFrameAllocator::ReleaseFrame(talvane::IHostFrame* frame) {
    auto it = live_.find(frame);
    if (it == live_.end()) {
        zarntest::ReportUnexpectedSlot(
            "IFrameAllocator::ReleaseFrame of a frame it did not allocate");
        return;
    }
    const uint32_t capacity = it->second->capacity;
    free_[capacity].push_back(std::move(it->second));
    live_.erase(it);
}

}  // namespace zarnbench
