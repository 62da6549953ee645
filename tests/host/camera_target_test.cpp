#include "camera_target.h"

#include <gtest/gtest.h>

#include "camsim.h"

namespace zarnhost {
namespace {

TEST(CameraTargetTest, ParsesHostAndPortForms) {
    std::string error;
    auto plain = ParseCameraAddress("cam.local", &error);
    ASSERT_TRUE(plain);
    EXPECT_EQ(plain->address, "cam.local");
    EXPECT_EQ(plain->port, 80);

    auto withPort = ParseCameraAddress("192.0.2.10:8080", &error);
    ASSERT_TRUE(withPort);
    EXPECT_EQ(withPort->address, "192.0.2.10");
    EXPECT_EQ(withPort->port, 8080);
    EXPECT_EQ(withPort->Endpoint(), "192.0.2.10:8080");

    auto v6 = ParseCameraAddress("[::1]:65535", &error);
    ASSERT_TRUE(v6);
    EXPECT_EQ(v6->address, "::1");
    EXPECT_EQ(v6->port, 65535);
    EXPECT_EQ(v6->Endpoint(), "[::1]:65535");

    auto bareV6 = ParseCameraAddress("fe80::2", &error);
    ASSERT_TRUE(bareV6);
    EXPECT_EQ(bareV6->address, "fe80::2");
    EXPECT_EQ(bareV6->port, 80);
}

TEST(CameraTargetTest, RejectsBadAddresses) {
    for (const char* bad : {"", ":80", "host:", "host:0", "host:65536", "host:80x", "host:-1",
                            "[::1", "[::1]x", "[]:80"}) {
        std::string error;
        EXPECT_FALSE(ParseCameraAddress(bad, &error)) << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }
}

TEST(CameraTargetTest, MasksPasswordsInText) {
    EXPECT_EQ(MaskSecret("login with s3cret-pw failed, s3cret-pw again", "s3cret-pw"),
              "login with *** failed, *** again");
    EXPECT_EQ(MaskSecret("GET /x?User=a&Password=abc&Other=1 \"q\"", "zz"),
              "GET /x?User=a&Password=***&Other=1 \"q\"");
    EXPECT_EQ(MaskSecret("Password=tail", ""), "Password=***");
    // A very short password is not masked in free text, where it would garble ordinary words.
    EXPECT_EQ(MaskSecret("a camera", "a"), "a camera");
    // A password that contains its own mask text still ends.
    EXPECT_EQ(MaskSecret("x***y", "***"), "x***y");
}

TEST(CameraTargetTest, ReachabilityCheckTellsRunningFromStoppedCamera) {
    zarncam::Camera camera;
    ASSERT_TRUE(camera.Start());
    CameraTarget target;
    target.address = "127.0.0.1";
    target.port = camera.Port();
    EXPECT_EQ(CheckReachable(target, 3000), "");
    camera.Stop();
    EXPECT_NE(CheckReachable(target, 3000), "");
    target.address = "no-such-host.invalid";
    EXPECT_NE(CheckReachable(target, 3000).find("resolve"), std::string::npos);
}

}  // namespace
}  // namespace zarnhost
