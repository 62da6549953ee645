// The benchmark's floor receiver counts a frame where the driver would deliver one: a wrong cut
// (a part split across two reads, a picture boundary missed or counted twice) would make the floor
// cheaper or dearer than the work it stands for.
#include "floor_receiver.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using zarnbench::FloorFramer;

std::string Part(const std::string& payload) {
    return "Content-Type: video/h264\r\nLength: " + std::to_string(payload.size()) + "\r\n\r\n" +
           payload;
}

// A payload that begins NAL unit `type`; for a slice, `firstOfPicture` sets first_mb_in_slice 0.
std::string NalStart(uint8_t type, bool firstOfPicture, size_t bytes) {
    std::string p("\x00\x00\x00\x00\x01", 5);
    p += static_cast<char>(0x60 | type);
    p += static_cast<char>(firstOfPicture ? 0x88 : 0x48);
    p.append(bytes, 'x');
    return p;
}

std::string Continuation(size_t bytes) {
    return "\x80" + std::string(bytes, 'y');
}

// Two pictures (a key picture with its parameter sets, then a picture in two slices, its first
// slice split over two parts) and the start of a third, which completes the second.
std::string Stream() {
    return Part(NalStart(7, false, 8)) + Part(NalStart(8, false, 3)) +
           Part(NalStart(5, true, 1000)) + Part(Continuation(500)) + Part(NalStart(1, true, 300)) +
           Part(Continuation(200)) + Part(NalStart(1, false, 100)) + Part(NalStart(1, true, 50));
}

size_t FeedAll(FloorFramer& framer, const std::string& bytes, size_t step) {
    std::string pending;
    size_t at = 0;
    while (at < bytes.size()) {
        const size_t n = std::min(step, bytes.size() - at);
        pending.append(bytes, at, n);
        at += n;
        const size_t used =
            framer.Feed(reinterpret_cast<const uint8_t*>(pending.data()), pending.size());
        pending.erase(0, used);
    }
    return pending.size();
}

TEST(FloorFramer, FramesCompleteWhenTheNextPictureBeginsHoweverTheBytesArrive) {
    // One read, one byte at a time, and sizes that cut headers and payloads anywhere.
    for (const size_t step : {size_t{1}, size_t{7}, size_t{64}, size_t{1000}, size_t{100000}}) {
        FloorFramer framer;
        const size_t left = FeedAll(framer, Stream(), step);
        EXPECT_EQ(framer.Frames(), 2u) << "step " << step;
        // The second frame: its slices with three-byte start codes, the continuations' bytes
        // without their filler byte.
        EXPECT_EQ(framer.LastFrameBytes(), (3 + 1 + 301) + 200 + (3 + 1 + 101)) << "step " << step;
        EXPECT_EQ(framer.Damaged(), 0u);
        EXPECT_LT(left, 8u) << "only a possible tag start is kept";
    }
}

TEST(FloorFramer, AnIncompletePartStaysUnconsumedAndSaysWhatItNeeds) {
    FloorFramer framer;
    const std::string other = "Content-Type: video/h264\r\n";
    const std::string part = Part(NalStart(5, true, 2000)).substr(other.size());
    const auto* data = reinterpret_cast<const uint8_t*>(part.data());
    EXPECT_EQ(framer.Feed(data, 12), 0u);  // the header is not complete
    EXPECT_EQ(framer.NeedBytes(), 0u);
    const size_t header = part.size() - 2007;
    EXPECT_EQ(framer.Feed(data, header + 10), 0u);
    EXPECT_EQ(framer.NeedBytes(), part.size());
    EXPECT_EQ(framer.Feed(data, part.size()), part.size());
    // Bytes that cannot begin a header are consumed, all but a possible tag start.
    EXPECT_EQ(framer.Feed(reinterpret_cast<const uint8_t*>(other.data()), other.size()),
              other.size() - 7);
}

TEST(FloorFramer, DamagedHeadersAreSkippedWithoutGrowingAnything) {
    FloorFramer framer;
    const std::string bytes =
        "garbage Length: 99999999999\r\n\r\nLength: 0\r\n\r\nLength: " + std::string(2000, '7') +
        Stream();
    FeedAll(framer, bytes, 4096);
    EXPECT_EQ(framer.Damaged(), 3u);
    EXPECT_EQ(framer.Frames(), 2u);
}

}  // namespace
