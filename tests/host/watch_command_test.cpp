#include "watch_command.h"

#include <gtest/gtest.h>

#include <sstream>

#include "console.h"

namespace zarnhost {
namespace {

TEST(WatchCommandTest, CameraListsAsEditorsSaveThem) {
    CameraTarget defaults;
    defaults.user = "admin";
    defaults.password = "pw";
    // A byte-order mark, Windows line ends, browser-style addresses, a duplicate.
    std::istringstream in(
        "\xEF\xBB\xBF"
        "192.0.2.10 op secret\r\n"
        "# comment\r\n"
        "http://192.0.2.11:8080/\r\n"
        "HTTP://192.0.2.12/index.html viewer\r\n"
        "192.0.2.10:80\r\n");
    std::string error;
    std::vector<std::string> warnings;
    const auto cameras = ParseCameraList(in, defaults, &error, &warnings);
    ASSERT_TRUE(cameras) << error;
    ASSERT_EQ(cameras->size(), 3u);
    EXPECT_EQ((*cameras)[0].Endpoint(), "192.0.2.10:80");
    EXPECT_EQ((*cameras)[0].user, "op");
    EXPECT_EQ((*cameras)[0].password, "secret");
    EXPECT_EQ((*cameras)[1].Endpoint(), "192.0.2.11:8080");
    EXPECT_EQ((*cameras)[1].password, "pw");
    EXPECT_EQ((*cameras)[2].Endpoint(), "192.0.2.12:80");
    EXPECT_EQ((*cameras)[2].user, "viewer");
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_EQ(warnings[0], "line 5: 192.0.2.10:80 is listed already on line 1; it is watched once");

    std::istringstream secure("https://192.0.2.10/\n");
    EXPECT_FALSE(ParseCameraList(secure, defaults, &error, &warnings));
    EXPECT_NE(error.find("only http://"), std::string::npos) << error;
}

TEST(WatchCommandTest, DriverRecordsBecomeShortReasons) {
    EXPECT_EQ(WatchErrorReason(1,
                               "talvane::HUtils::RequestGetRD: 10.0.0.1:80 sent does not process "
                               "request \"/cgi-bin/x.cgi\", status code = 401"),
              "wrong password (401)");
    EXPECT_EQ(
        WatchErrorReason(1, "RequestGetRD: h:80 sent does not process request, status code = 500"),
        "HTTP 500");
    EXPECT_EQ(WatchErrorReason(
                  1,
                  "talvane::CH264HttpChannel::Connect: camera h:80 answered the stream request "
                  "with status 403"),
              "access denied (403)");
    EXPECT_EQ(WatchErrorReason(4, "RequestGetRD: can not send request \"/cgi-bin/x\" to h:80"),
              "no connection");
    EXPECT_EQ(WatchErrorReason(1, "SetCameraState: Signal was lost for camera h (channel 0)"),
              "signal lost");
    EXPECT_EQ(WatchErrorReason(3, "SetCameraState: Camera h is online"), "");
    EXPECT_EQ(WatchErrorReason(1, "ns::Some::Method: something else"), "something else");

    EXPECT_EQ(ReachabilityReason(""), "no answer");
    EXPECT_EQ(ReachabilityReason("Connection refused"), "connection refused");
    EXPECT_EQ(ReachabilityReason("no answer within 2000 ms"), "timed out");
    EXPECT_EQ(ReachabilityReason("cannot resolve host: Name or service not known"), "unknown host");
    EXPECT_EQ(ReachabilityReason("No route to host"), "unreachable");
}

// The table on a terminal: drawn on the alternate screen (never into the scrollback), cut to the
// terminal's size without breaking colour sequences, left again at the end. Elsewhere: plain.
TEST(WatchCommandTest, ScreensStayOutOfTheScrollback) {
    std::FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    Console console(file);
    console.SetStatusMode(Console::StatusMode::kTerminal);
    console.SetTerminalSize(10, 2);
    const std::string red = console.Colour("failed", "31");
    EXPECT_EQ(red, "\033[31mfailed\033[0m");
    console.Screen({"ab " + red + " and more", "second", "third"});
    console.Screen({"again"});
    console.EndScreen();
    std::rewind(file);
    std::string out(4096, '\0');
    out.resize(std::fread(out.data(), 1, out.size(), file));
    std::fclose(file);
    EXPECT_EQ(out.find("\033[2J"), std::string::npos) << "clearing the screen pushes it into the "
                                                         "scrollback";
    EXPECT_EQ(out.rfind("\033[?1049h", 0), 0u);
    EXPECT_NE(out.find("ab \033[31mfailed\033[0m \033[0m"), std::string::npos);
    EXPECT_EQ(out.find("third"), std::string::npos);
    EXPECT_NE(out.find("second"), std::string::npos);
    EXPECT_EQ(out.find('\n', out.find("again")), std::string::npos);
    EXPECT_NE(out.find("\033[?1049l"), std::string::npos);

    Console plain(stdout);
    plain.SetStatusMode(Console::StatusMode::kLines);
    EXPECT_EQ(plain.Colour("failed", "31"), "failed");
    EXPECT_EQ(Console::CutVisible("h\xC3\xA9llo", 2), "h\xC3\xA9");
}

}  // namespace
}  // namespace zarnhost
