// Fuzz target: the H.264 stream parser fed a sequence of part payloads, as the channel feeds it.
//
// Input: a flags byte, a 16-bit count N, N 16-bit payload lengths (little endian), then the stream
// bytes, cut into payloads of those lengths in turn (the list starts over when it runs out; with no
// lengths, 4096-byte payloads). A seed made from the simulator's stream carries its real payload
// lengths, so it parses into real pictures; mutations of the list move the cuts.
// Flags: bit 0 the host refuses every 5th frame; bit 1 every 7th allocation fails, and with bit 2
// it hands out a frame without a buffer instead; bit 3 the parser is reset half-way; bit 4 frames
// are paced at 40 ms on a clock that never sleeps (pacing is otherwise off).
//
// Every delivered frame is checked: it fits the capacity the parser asked for, starts with a start
// code and ends with the access unit delimiter, an "H264" frame carries the size of its SPS, and
// the first frame after the start, a reset, a refused frame or a failed allocation is an "H264"
// frame (the host's stream restarts at a key frame). Nothing may stay allocated, and the parser's
// buffers stay under their limit.
#include <algorithm>
#include <cstring>

#include "fuzz_support.h"
#include "media/h264_media_parser.h"

namespace {

using talvane::CH264MediaParser;
using zarnfuzz::PooledFrame;

constexpr uint8_t kRefuseFrames = 1;
constexpr uint8_t kFailAllocations = 2;
constexpr uint8_t kNullBuffers = 4;
constexpr uint8_t kResetHalfWay = 8;
constexpr uint8_t kPaced = 16;
constexpr size_t kMaxCuts = 4096;
constexpr uint8_t kDelimiter[] = {0x00, 0x00, 0x01, 0x09, 0x30};

class CheckingReceiver final : public talvane::IMediaReceiver {
public:
    explicit CheckingReceiver(zarnfuzz::PooledFrameAllocator& allocator) : allocator_(allocator) {}

    bool OnFrame(talvane::IHostFrame* host) override {
        auto* frame = static_cast<PooledFrame*>(host);
        ZARN_FUZZ_CHECK(frame->buffer != nullptr);
        ZARN_FUZZ_CHECK(frame->capacity == allocator_.LastCapacity());
        ZARN_FUZZ_CHECK(frame->dataSize <= frame->capacity);
        ZARN_FUZZ_CHECK(frame->dataSize > sizeof(kDelimiter) + 3);
        const uint8_t* data = frame->buffer;
        const size_t body = frame->dataSize - sizeof(kDelimiter);
        ZARN_FUZZ_CHECK(data[0] == 0 && data[1] == 0 && data[2] == 1);
        ZARN_FUZZ_CHECK(std::memcmp(data + body, kDelimiter, sizeof(kDelimiter)) == 0);
        ZARN_FUZZ_CHECK(frame->fourcc == talvane::kFourCcH264 ||
                        frame->fourcc == talvane::kFourCcI264);
        if (frame->fourcc == talvane::kFourCcH264) {
            talvane::H264PictureSize size;
            ZARN_FUZZ_CHECK(CH264MediaParser::FindPictureSize(data, body, &size));
            ZARN_FUZZ_CHECK(size.width == frame->width && size.height == frame->height);
        } else {
            ZARN_FUZZ_CHECK(!needKey);
        }
        ZARN_FUZZ_CHECK(frame->sizeClass ==
                        CH264MediaParser::SizeClassFor(frame->width, frame->height));
        needKey = false;
        ++frames;
        if (refuseEvery != 0 && frames % refuseEvery == 0) {
            needKey = true;
            return false;
        }
        return true;
    }

    bool needKey = true;
    uint32_t refuseEvery = 0;
    uint32_t frames = 0;

private:
    zarnfuzz::PooledFrameAllocator& allocator_;
};

zarnfuzz::PooledFrameAllocator g_allocator;
zarnfuzz::FuzzDriver g_driver(&g_allocator);
zarnfuzz::InstantClock g_clock;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    zarnfuzz::InputReader input(data, size);
    const uint8_t flags = input.Byte();
    const size_t count = std::min<size_t>(input.Word(), kMaxCuts);
    std::vector<uint16_t> cuts;
    for (size_t i = 0; i < count && input.RestSize() >= 2; ++i) cuts.push_back(input.Word());
    // Empty payloads are fed as they come, but a list of nothing else would never move on.
    if (std::none_of(cuts.begin(), cuts.end(), [](uint16_t c) { return c != 0; })) {
        cuts.push_back(4096);
    }

    g_allocator.ResetCounts();
    g_allocator.SetFailEvery((flags & kFailAllocations) != 0 ? 7 : 0, (flags & kNullBuffers) != 0);
    CheckingReceiver receiver(g_allocator);
    receiver.refuseEvery = (flags & kRefuseFrames) != 0 ? 5 : 0;
    CH264MediaParser parser(&g_driver, "fuzz");
    parser.SetReceiver(&receiver);
    parser.SetClock(&g_clock);
    parser.SetStreamParams((flags & kPaced) != 0 ? 40 : 0, 50, 704, 576);

    const uint8_t* stream = input.Rest();
    const size_t length = input.RestSize();
    std::vector<uint8_t> payload;
    size_t offset = 0;
    size_t cut = 0;
    bool reset = false;
    while (offset < length) {
        const size_t n = std::min<size_t>(cuts[cut++ % cuts.size()], length - offset);
        payload.assign(stream + offset, stream + offset + n);
        offset += n;
        if ((flags & kResetHalfWay) != 0 && !reset && offset >= length / 2) {
            parser.Reset();
            receiver.needKey = true;
            reset = true;
        }
        parser.Parse(payload);
        if (g_allocator.LastFailed()) receiver.needKey = true;
        ZARN_FUZZ_CHECK(g_allocator.Outstanding() == 0);
        ZARN_FUZZ_CHECK(parser.FrameBytes() < CH264MediaParser::kMaxFrameBytes);
        ZARN_FUZZ_CHECK(parser.PendingBytes() < CH264MediaParser::kMaxFrameBytes);
    }
    return 0;
}
