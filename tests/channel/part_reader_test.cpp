#include "channel/part_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using talvane::CPartReader;

// A stream delivered in segments: a read returns at most what is left of the current segment,
// as a socket returns what has arrived. 0 once everything is read.
class SegmentedSource final : public talvane::IByteSource {
public:
    SegmentedSource(std::string data, std::vector<size_t> cuts, size_t maxRead = SIZE_MAX)
        : data_(std::move(data)), cuts_(std::move(cuts)), maxRead_(maxRead) {
        cuts_.push_back(data_.size());
        std::sort(cuts_.begin(), cuts_.end());
    }
    size_t ReadChunk(std::vector<uint8_t>& out, size_t n) override {
        ++reads;
        largestRequest = std::max(largestRequest, n);
        out.clear();
        size_t segmentEnd = data_.size();
        for (size_t cut : cuts_) {
            if (cut > pos_) {
                segmentEnd = cut;
                break;
            }
        }
        const size_t take = std::min({n, segmentEnd - pos_, maxRead_});
        out.assign(data_.begin() + pos_, data_.begin() + pos_ + take);
        pos_ += take;
        return take;
    }
    size_t reads = 0;
    size_t largestRequest = 0;

private:
    std::string data_;
    std::vector<size_t> cuts_;
    size_t maxRead_;
    size_t pos_ = 0;
};

std::string Part(const std::string& payload, const std::string& extraHeader = "") {
    return extraHeader + "Length: " + std::to_string(payload.size()) + "\r\n\r\n" + payload;
}

// Reads like the channel's read loop and returns the payloads found.
std::vector<std::string> ReadAll(talvane::IByteSource& source,
                                 CPartReader::CancelCheck cancel = nullptr) {
    CPartReader reader(source, std::move(cancel));
    std::vector<std::string> payloads;
    for (int guard = 0; guard < 10000; ++guard) {
        CPartReader::Header header = reader.ReadHeader();
        if (header.length > 0) {
            std::vector<uint8_t> payload;
            if (!reader.ReadPayload(header.length, payload)) break;
            payloads.emplace_back(payload.begin(), payload.end());
        }
        if (header.ended) break;
    }
    return payloads;
}

TEST(PartReaderTest, FindsPartsBehindOtherHeaderLinesAndGarbage) {
    const std::string big(1234, 'x');
    const std::string stream = "\x01\x02garbage\r\n" + Part(big) +
                               Part("HELLO", "Content-Type: video/h264\r\n") +
                               "junk Length:" + Part("abc") + Part("") + Part("tail");
    SegmentedSource source(stream, {});
    EXPECT_EQ(ReadAll(source), (std::vector<std::string>{big, "HELLO", "abc", "tail"}));
}

TEST(PartReaderTest, SameResultWhateverTheReadsAreCutInto) {
    const std::string stream = "zz" + Part("first payload", "Content-Type: video/h264\r\n") +
                               "\r\n--" + Part(std::string(40, '\0')) + Part("end");
    const std::vector<std::string> expected = {"first payload", std::string(40, '\0'), "end"};
    for (size_t cut = 1; cut < stream.size(); ++cut) {
        SegmentedSource source(stream, {cut});
        EXPECT_EQ(ReadAll(source), expected) << "cut at " << cut;
    }
    SegmentedSource trickle(stream, {}, 1);
    EXPECT_EQ(ReadAll(trickle), expected);
}

TEST(PartReaderTest, HeaderSearchIsCaseAndBlankSensitive) {
    SegmentedSource source(
        "length: 3\r\n\r\nabcLENGTH: 3\r\n\r\nabcLength:3\r\n\r\nabc" + Part("ok"), {});
    EXPECT_EQ(ReadAll(source), (std::vector<std::string>{"ok"}));
}

TEST(PartReaderTest, DamagedLengthsAllocateNothingAndTheSearchGoesOn) {
    const std::string stream = "Length: 999999999\r\n\r\n" +
                               std::string("Length: 16777217\r\n\r\n") + "Length: -5\r\n\r\n" +
                               "Length: 99999999999999999999999\r\n\r\n" + "Length: \r\n\r\n" +
                               "Length: 12" + std::string(2000, ' ') + "\r\n\r\n" + Part("after");
    SegmentedSource source(stream, {});
    CPartReader reader(source, nullptr);
    std::vector<uint32_t> lengths;
    for (int i = 0; i < 7; ++i) {
        CPartReader::Header header = reader.ReadHeader();
        ASSERT_FALSE(header.ended) << i;
        lengths.push_back(header.length);
        if (header.length > 0) break;
    }
    EXPECT_EQ(lengths, (std::vector<uint32_t>{0, 0, 0, 0, 0, 0, 5}));
    // Every read asked for at most the 8-byte window: no buffer was sized from a bad length.
    EXPECT_LE(source.largestRequest, 8u);
}

TEST(PartReaderTest, LengthAtTheLimitIsAccepted) {
    SegmentedSource source("Length: 16777216\r\n\r\n", {});
    CPartReader reader(source, nullptr);
    EXPECT_EQ(reader.ReadHeader().length, CPartReader::kMaxPartLength);
}

TEST(PartReaderTest, EndOfStreamAnywhereEndsTheSearch) {
    const std::string stream = "abc" + Part("0123456789");
    for (size_t end = 0; end < stream.size(); ++end) {
        SegmentedSource source(stream.substr(0, end), {});
        CPartReader reader(source, nullptr);
        CPartReader::Header header = reader.ReadHeader();
        std::vector<uint8_t> payload;
        if (header.length > 0) {
            EXPECT_FALSE(reader.ReadPayload(header.length, payload)) << end;
        } else {
            EXPECT_TRUE(header.ended) << end;
        }
    }
}

TEST(PartReaderTest, CancelEndsASearchThroughEndlessGarbage) {
    const std::string garbage(100000, 'g');
    SegmentedSource source(garbage, {});
    int polls = 0;
    CPartReader reader(source, [&] { return ++polls > 50; });
    CPartReader::Header header = reader.ReadHeader();
    EXPECT_TRUE(header.ended);
    EXPECT_EQ(header.length, 0u);
    EXPECT_LT(source.reads, 100u);
}

TEST(PartReaderTest, ParsesLengthTextLikeAtol) {
    EXPECT_EQ(CPartReader::ParseLength("1234"), 1234);
    EXPECT_EQ(CPartReader::ParseLength("  42abc"), 42);
    EXPECT_EQ(CPartReader::ParseLength("\t+7"), 7);
    EXPECT_EQ(CPartReader::ParseLength("-7"), -7);
    EXPECT_EQ(CPartReader::ParseLength("x12"), 0);
    EXPECT_EQ(CPartReader::ParseLength(""), 0);
    EXPECT_GT(CPartReader::ParseLength("123456789012345678901234567890"),
              int64_t{CPartReader::kMaxPartLength});
}

}  // namespace
