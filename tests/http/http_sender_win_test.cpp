// Windows only: what the WinHTTP backend refuses that libcurl would send.
#include <gtest/gtest.h>

#include <string>

#include "http/http_sender.h"
#include "local_http_server.h"

namespace {

TEST(HttpSenderWindowsTest, HeaderLineWinHttpRefusesFailsTheSend) {
    int requests = 0;
    httptest::LocalHttpServer server([&](httptest::LocalHttpServer::Connection& c) {
        if (!c.ReadRequest()) return;
        ++requests;
        c.Send("HTTP/1.1 204 No Content\r\n\r\n");
    });
    talvane::DEVICE_INFO device;
    device.address = "127.0.0.1";
    device.port = server.Port();
    Web::CHttpSender sender(device);
    Web::HttpRequest request("GET", "/a");
    // A space in the name: a line as far as the shared checks go, refused by WinHTTP.
    request.headerLines = {"X-One: 1", "Bad Name: 2"};
    EXPECT_FALSE(sender.SendRequest(request));
    request.headerLines = {"X-One: 1"};
    EXPECT_TRUE(sender.SendRequest(request));
    server.Stop();
    EXPECT_EQ(requests, 1);
}

}  // namespace
