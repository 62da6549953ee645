// Interlaced pictures as the camera simulator codes them with x264 (MBAFF): the size read from
// their parameter set is the picture's real one. x264 runs only in the native build; the Windows
// suites reach the simulator through its control server.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "h264_live_encoder.h"
#include "media/h264_media_parser.h"

namespace {

TEST(InterlacedX264Test, ParameterSetsGiveTheRealPictureSize) {
    for (const auto& [width, height] : {std::pair{1920, 1080}, std::pair{704, 576}}) {
        SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height));
        zarncam::StreamConfig config;
        config.width = width;
        config.height = height;
        config.bitRateKbps = 2000;
        zarncam::H264LiveEncoder encoder;
        ASSERT_TRUE(encoder.Open(config, 0, zarncam::EncoderStyle{.interlaced = true}));
        std::vector<zarncam::NalUnit> nals;
        bool key = false;
        ASSERT_TRUE(encoder.EncodeNext(nals, key));
        ASSERT_TRUE(key);
        // The key picture as the parser sees the start of a frame: start code, SPS, the rest.
        std::vector<uint8_t> frame;
        for (const auto& nal : nals) {
            frame.insert(frame.end(), {0, 0, 0, 1});
            frame.insert(frame.end(), nal.data, nal.data + nal.size);
        }
        talvane::H264PictureSize size;
        ASSERT_TRUE(talvane::CH264MediaParser::FindPictureSize(frame.data(), frame.size(), &size));
        EXPECT_EQ(size.width, static_cast<uint32_t>(width));
        EXPECT_EQ(size.height, static_cast<uint32_t>(height));
    }
}

}  // namespace
