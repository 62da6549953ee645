#include "stream_packetizer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace zarncam {
namespace {

std::string Nal(std::size_t size) {
    std::string nal(size, '\0');
    nal[0] = 0x65;
    for (std::size_t i = 1; i < size; ++i) nal[i] = static_cast<char>(i * 7 + 1);
    return nal;
}

std::vector<std::string> Cut(const std::string& nal, std::size_t limit) {
    std::vector<std::string> out;
    StreamPacketizer(limit).Packetize(reinterpret_cast<const uint8_t*>(nal.data()), nal.size(),
                                      out);
    return out;
}

TEST(StreamPacketizerTest, SmallNalGoesOutInOnePayloadWithFiveByteStart) {
    const std::string nal = Nal(20);
    const auto payloads = Cut(nal, 4096);
    ASSERT_EQ(payloads.size(), 1u);
    EXPECT_EQ(payloads[0], std::string("\0\0\0\0\1", 5) + nal);
}

TEST(StreamPacketizerTest, LongNalIsSplitIntoContinuationsThatRebuildIt) {
    for (const std::size_t size : {59u, 60u, 61u, 200u}) {
        const std::string nal = Nal(size);
        const auto payloads = Cut(nal, 64);
        std::string rebuilt = payloads[0].substr(5);
        EXPECT_EQ(payloads[0].size(), std::min<std::size_t>(size + 5, 64));
        for (std::size_t i = 1; i < payloads.size(); ++i) {
            ASSERT_LE(payloads[i].size(), 64u);
            ASSERT_GE(payloads[i].size(), 2u);
            // The filler byte keeps bytes 0..2 from all being zero.
            EXPECT_EQ(static_cast<uint8_t>(payloads[i][0]), StreamPacketizer::kContinuationByte);
            rebuilt += payloads[i].substr(1);
        }
        EXPECT_EQ(rebuilt, nal) << size;
        EXPECT_EQ(payloads.size(), size + 5 <= 64 ? 1u : 1u + (size - 59 + 62) / 63) << size;
    }
}

TEST(StreamPacketizerTest, LimitIsClampedAndHeaderAnnouncesTheLength) {
    EXPECT_EQ(StreamPacketizer(0).MaxPayload(), StreamPacketizer::kMinPayload);
    EXPECT_EQ(StreamPacketizer(1u << 30).MaxPayload(), StreamPacketizer::kMaxPayload);
    EXPECT_EQ(StreamPacketizer::PartHeader(1234),
              "Content-Type: video/h264\r\nLength: 1234\r\n\r\n");
    std::vector<std::string> none;
    StreamPacketizer(64).Packetize(nullptr, 10, none);
    EXPECT_TRUE(none.empty());
}

}  // namespace
}  // namespace zarncam
