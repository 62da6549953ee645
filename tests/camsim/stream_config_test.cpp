#include "stream_config.h"

#include <gtest/gtest.h>

#include "http_request_parser.h"

namespace zarncam {
namespace {

StreamConfig Apply(const std::string& query, bool hd) {
    return ApplyAvConfig(DefaultStreamConfig(hd), ParseQuery(query), hd);
}

TEST(StreamConfigTest, ResolutionCodesFollowTheModeTable) {
    const struct {
        int code;
        bool hd;
        int width;
        int height;
    } cases[] = {{8, false, 176, 144},   {4, false, 352, 288},   {64, false, 704, 288},
                 {128, false, 704, 576}, {8, true, 160, 112},    {4, true, 320, 240},
                 {128, true, 640, 480},  {100, true, 1280, 720}, {200, true, 1600, 1200}};
    for (const auto& c : cases) {
        const StreamConfig config =
            Apply("Action=Set&VideoResolution=" + std::to_string(c.code), c.hd);
        EXPECT_EQ(config.width, c.width) << c.code << " hd " << c.hd;
        EXPECT_EQ(config.height, c.height) << c.code << " hd " << c.hd;
    }
    // Codes of the other table, unknown codes and junk fall back to the mode's default size.
    EXPECT_EQ(Apply("VideoResolution=100", false).width, 704);
    EXPECT_EQ(Apply("VideoResolution=64", true).width, 640);
    EXPECT_EQ(Apply("VideoResolution=abc", true).height, 480);
    EXPECT_EQ(Apply("VideoResolution=99999999999999999999", false).height, 576);
}

TEST(StreamConfigTest, AppliesTheDriversRequestAndClampsAbsurdValues) {
    const StreamConfig worked = Apply(
        "Action=Set&FrameRate=10&IFrameInterval=10&VideoQuality=0&BitRate=6144&RateControlMode=2"
        "&VideoResolution=100",
        true);
    EXPECT_EQ(worked.frameRate, 10);
    EXPECT_EQ(worked.iFrameInterval, 10);
    EXPECT_EQ(worked.videoQuality, 0);
    EXPECT_EQ(worked.bitRateKbps, 6144);
    EXPECT_EQ(worked.resolutionCode, 100);

    const StreamConfig zero = Apply("FrameRate=0&IFrameInterval=0&BitRate=0", false);
    EXPECT_EQ(zero.frameRate, 1);
    EXPECT_EQ(zero.iFrameInterval, 1);
    EXPECT_GE(zero.bitRateKbps, 16);

    const StreamConfig huge =
        Apply("FrameRate=333&IFrameInterval=-5&BitRate=4294967296&VideoQuality=7", false);
    EXPECT_EQ(huge.frameRate, 60);
    EXPECT_EQ(huge.iFrameInterval, 1);
    EXPECT_EQ(huge.bitRateKbps, 40000);
    EXPECT_EQ(huge.videoQuality, 2);

    // Missing or non-numeric values keep the previous setting.
    const StreamConfig kept = ApplyAvConfig(worked, ParseQuery("FrameRate=fast&BitRate="), true);
    EXPECT_EQ(kept.frameRate, 10);
    EXPECT_EQ(kept.bitRateKbps, 6144);
    EXPECT_EQ(kept.width, 1280);
}

TEST(StreamConfigTest, DescribesTheConfigurationAsKeyValueLines) {
    const std::string text = DescribeStreamConfig(Apply("VideoResolution=4&FrameRate=12", false));
    EXPECT_NE(text.find("FrameRate=12\r\n"), std::string::npos);
    EXPECT_NE(text.find("VideoResolution=4\r\n"), std::string::npos);
    EXPECT_NE(text.find("Width=352\r\nHeight=288\r\n"), std::string::npos);
}

}  // namespace
}  // namespace zarncam
