// zarnhost's choice of the folder for preset files when its own folder is not writable, and how
// it reads the driver's record of a PTZ request the camera refused.
#include "driver_session.h"

#include <gtest/gtest.h>

#include "ptz_command.h"

namespace {

TEST(DriverSessionTest, UserStateFolderFollowsTheBaseFolderRules) {
    EXPECT_EQ(zarnhost::UserStateFolder("/x/state", "/home/u"), "/x/state/zarnhost");
    EXPECT_EQ(zarnhost::UserStateFolder(nullptr, "/home/u"), "/home/u/.local/state/zarnhost");
    EXPECT_EQ(zarnhost::UserStateFolder("", "/home/u"), "/home/u/.local/state/zarnhost");
    // A relative value is not a base folder.
    EXPECT_EQ(zarnhost::UserStateFolder("state", "/home/u"), "/home/u/.local/state/zarnhost");
    EXPECT_EQ(zarnhost::UserStateFolder(nullptr, nullptr), "");
    EXPECT_EQ(zarnhost::UserStateFolder("rel", "also-rel"), "");
}

TEST(DriverSessionTest, PtzRefusalIsTheFirstLevelFourRecordOfTheCommandObject) {
    const std::string text =
        "talvane::CZarnHDPTZComm::ProcessItem: the camera did not carry out the PTZ request "
        "\"/cgi-bin/PtzConfig.cgi?Action=Set&Move=Stop\" (no answer)";
    std::vector<zarntest::LogRecord> records;
    records.push_back({3, false, "talvane::Something: the camera is fine"});
    EXPECT_EQ(zarnhost::PtzRefusal(records), "");
    records.push_back({1, false, text});  // the same text at another level is someone else's
    EXPECT_EQ(zarnhost::PtzRefusal(records), "");
    records.push_back({4, false, text});
    records.push_back({4, false, text + " later"});
    EXPECT_EQ(zarnhost::PtzRefusal(records),
              "did not carry out the PTZ request \"/cgi-bin/PtzConfig.cgi?Action=Set&Move=Stop\" "
              "(no answer)");
}

}  // namespace
