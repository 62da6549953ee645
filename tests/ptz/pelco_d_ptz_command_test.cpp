// Pelco-D frames for diagonal moves: direction bits, speed bytes, checksum and text form.
#include "ptz/pelco_d_ptz_command.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using talvane::CPelcoDPtzCommand;

struct DiagonalCase {
    int32_t direction;
    int32_t speed;
    const char* text;
};

TEST(PelcoDPtzCommandTest, DiagonalFramesAtBothEndsOfTheSpeedRange) {
    const DiagonalCase cases[] = {
        {4, 3, "255,1,0,12,3,3,19"}, {4, 63, "255,1,0,12,63,63,139"},
        {5, 3, "255,1,0,10,3,3,17"}, {5, 63, "255,1,0,10,63,63,137"},
        {6, 3, "255,1,0,20,3,3,27"}, {6, 63, "255,1,0,20,63,63,147"},
        {7, 3, "255,1,0,18,3,3,25"}, {7, 63, "255,1,0,18,63,63,145"},
    };
    for (const auto& c : cases) {
        CPelcoDPtzCommand frame = CPelcoDPtzCommand::Diagonal(c.direction, c.speed);
        EXPECT_EQ(frame.ToString(), c.text) << "direction " << c.direction << " speed " << c.speed;
    }
}

TEST(PelcoDPtzCommandTest, ChecksumWrapsAndNegativeSpeedIsStoredAsAByte) {
    // Camera speed -1 (host speed 0) is stored as 255; 1 + 20 + 255 + 255 = 531 = 19 mod 256.
    CPelcoDPtzCommand frame = CPelcoDPtzCommand::Diagonal(6, -1);
    EXPECT_EQ(frame.Checksum(), 19);
    EXPECT_EQ(frame.ToString(), "255,1,0,20,255,255,19");
    EXPECT_EQ(frame.Bytes()[6], 19);  // ToString stores the checksum in the frame
}

TEST(PelcoDPtzCommandTest, BitsCanBeClearedAndAnEmptyFrameHasSevenNumbers) {
    CPelcoDPtzCommand frame;
    EXPECT_EQ(frame.ToString(), "0,0,0,0,0,0,0");
    frame.SetCommand2Bit(CPelcoDPtzCommand::kPanLeft, true);
    frame.SetCommand2Bit(CPelcoDPtzCommand::kTiltDown, true);
    frame.SetCommand2Bit(CPelcoDPtzCommand::kPanLeft, false);
    EXPECT_EQ(frame.Bytes()[3], CPelcoDPtzCommand::kTiltDown);

    // A direction that is not diagonal sets no direction bit.
    CPelcoDPtzCommand straight = CPelcoDPtzCommand::Diagonal(0, 9);
    const std::string text = straight.ToString();
    EXPECT_EQ(text, "255,1,0,0,9,9,19");
    EXPECT_NE(text.back(), ',');
}

}  // namespace
