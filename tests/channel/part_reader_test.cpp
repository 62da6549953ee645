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
    size_t Read(uint8_t* into, size_t n) override {
        ++reads;
        largestRequest = std::max(largestRequest, n);
        size_t segmentEnd = data_.size();
        for (size_t cut : cuts_) {
            if (cut > pos_) {
                segmentEnd = cut;
                break;
            }
        }
        const size_t take = std::min({n, segmentEnd - pos_, maxRead_});
        std::copy(data_.begin() + static_cast<std::ptrdiff_t>(pos_),
                  data_.begin() + static_cast<std::ptrdiff_t>(pos_ + take), into);
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
    // Every read asked for at most the read-ahead block: no buffer was sized from a bad length.
    EXPECT_LE(source.largestRequest, CPartReader::kReadAheadBytes);
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

TEST(PartReaderTest, TagCutByTheEndOfAReadAheadBlockIsFound) {
    // The tag (and near misses of it) straddles the end of the first 256-byte read at every
    // position: what may still begin a tag is kept for the next read.
    for (size_t pad = CPartReader::kReadAheadBytes - 12; pad <= CPartReader::kReadAheadBytes + 4;
         ++pad) {
        std::string stream(pad, 'L');
        stream.replace(pad - 6, 6, "Length");
        stream += Part("first") + "LengtLength:Length" + Part("second");
        SegmentedSource source(stream, {});
        EXPECT_EQ(ReadAll(source), (std::vector<std::string>{"first", "second"})) << pad;
    }
}

TEST(PartReaderTest, ManySmallPartsInOneReadComeOutInOrder) {
    std::string stream;
    std::vector<std::string> expected;
    for (int i = 0; i < 60; ++i) {
        expected.push_back(
            std::string(static_cast<size_t>(1 + i % 7), static_cast<char>('a' + i % 26)));
        stream += Part(expected.back(), i % 3 == 0 ? "Content-Type: video/h264\r\n" : "");
    }
    SegmentedSource whole(stream, {});
    EXPECT_EQ(ReadAll(whole), expected);
    // The reader holds what it read ahead and nothing more: after the last part, nothing.
    SegmentedSource again(stream, {});
    CPartReader reader(again, nullptr);
    std::vector<uint8_t> payload;
    for (size_t i = 0; i < expected.size(); ++i) {
        const CPartReader::Header header = reader.ReadHeader();
        ASSERT_EQ(header.length, expected[i].size()) << i;
        ASSERT_TRUE(reader.ReadPayload(header.length, payload)) << i;
        EXPECT_EQ(std::string(payload.begin(), payload.end()), expected[i]) << i;
    }
    EXPECT_EQ(reader.Buffered(), 0u);
    EXPECT_TRUE(reader.ReadHeader().ended);
}

TEST(PartReaderTest, PayloadReadsAskForNoMoreThanThePayloadsRest) {
    // A payload longer than the read-ahead block: the rest is read straight into the payload, a
    // read never asking beyond its end, however the source cuts it.
    const std::string big(5000, 'p');
    const std::string stream = Part(big) + Part("next");
    for (size_t maxRead : {size_t{1}, size_t{100}, size_t{4096}, SIZE_MAX}) {
        SegmentedSource source(stream, {}, maxRead);
        CPartReader reader(source, nullptr);
        const CPartReader::Header header = reader.ReadHeader();
        ASSERT_EQ(header.length, big.size());
        const size_t readsBefore = source.reads;
        std::vector<uint8_t> payload;
        ASSERT_TRUE(reader.ReadPayload(header.length, payload));
        EXPECT_EQ(std::string(payload.begin(), payload.end()), big) << maxRead;
        EXPECT_LE(source.largestRequest, big.size()) << maxRead;
        if (maxRead == SIZE_MAX) {
            EXPECT_EQ(source.reads, readsBefore + 1);  // one read did it
        }
        EXPECT_EQ(reader.ReadHeader().length, 4u) << maxRead;
    }
}

TEST(PartReaderTest, PayloadBufferIsReusedAndHoldsExactlyEachPayload) {
    const std::string stream =
        Part(std::string(3000, 'x')) + Part("short") + Part(std::string(40, 'y'));
    SegmentedSource source(stream, {5, 100, 2000});
    CPartReader reader(source, nullptr);
    std::vector<uint8_t> payload;
    std::vector<std::string> got;
    const uint8_t* firstData = nullptr;
    for (int i = 0; i < 3; ++i) {
        const CPartReader::Header header = reader.ReadHeader();
        ASSERT_TRUE(reader.ReadPayload(header.length, payload)) << i;
        if (i == 0) firstData = payload.data();
        EXPECT_EQ(payload.data(), firstData) << i;  // no new buffer for a shorter payload
        got.emplace_back(payload.begin(), payload.end());
    }
    EXPECT_EQ(got,
              (std::vector<std::string>{std::string(3000, 'x'), "short", std::string(40, 'y')}));
    // A payload cut short leaves nothing behind.
    SegmentedSource cut(Part("0123456789").substr(0, 20), {});
    CPartReader cutReader(cut, nullptr);
    ASSERT_EQ(cutReader.ReadHeader().length, 10u);
    EXPECT_FALSE(cutReader.ReadPayload(10, payload));
    EXPECT_TRUE(payload.empty());
}

TEST(PartReaderTest, CancelIsPolledPerReadNotPerByte) {
    // Clean parts in one big read: a few polls for the whole stream, not one per header byte.
    std::string stream;
    for (int i = 0; i < 200; ++i) stream += Part("payload", "Content-Type: video/h264\r\n");
    SegmentedSource source(stream, {});
    int polls = 0;
    EXPECT_EQ(ReadAll(source,
                      [&] {
                          ++polls;
                          return false;
                      })
                  .size(),
              200u);
    EXPECT_LE(static_cast<size_t>(polls), source.reads);
    // A stop during a payload ends it at the next read.
    SegmentedSource trickle(Part(std::string(1000, 'z')), {}, 10);
    int calls = 0;
    CPartReader reader(trickle, [&] { return ++calls > 3; });
    const CPartReader::Header header = reader.ReadHeader();
    ASSERT_EQ(header.length, 1000u);
    std::vector<uint8_t> payload;
    EXPECT_FALSE(reader.ReadPayload(header.length, payload));
    EXPECT_LT(trickle.reads, 20u);
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
