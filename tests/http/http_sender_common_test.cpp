// Rules every CHttpSender backend applies the same way: the shared helpers directly, and the
// sender behaviour built on them that the camera tests do not reach (send-only requests, request
// bodies, header and body edges, Abort racing with work).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "http/http_sender.h"
#include "local_http_server.h"

namespace {

using namespace std::chrono_literals;
using httptest::LocalHttpServer;
using Clock = std::chrono::steady_clock;

constexpr auto kGenerous = 10s;  // bound for waits that normally end at once

talvane::DEVICE_INFO Device(uint16_t port, int32_t timeoutMs = 2000) {
    talvane::DEVICE_INFO device;
    device.requestTimeoutMs = timeoutMs;
    device.address = "127.0.0.1";
    device.port = port;
    device.user = "admin";
    device.password = "admin";
    return device;
}

Web::HttpRequest Request(std::string verb, std::string object) {
    return Web::HttpRequest(std::move(verb), std::move(object));
}

TEST(HttpSenderCommonTest, PreferredSchemeFollowsTheAuthMethodBits) {
    const uint32_t expected[] = {Web::kAuthBasic,     Web::kAuthNtlm,      Web::kAuthPassport,
                                 Web::kAuthDigest,    Web::kAuthNegotiate, Web::kAuthNegotiate,
                                 Web::kAuthNegotiate, Web::kAuthNegotiate};
    for (uint32_t method = 0; method < 8; ++method) {
        EXPECT_EQ(Web::PreferredScheme(method), expected[method]) << method;
    }
}

TEST(HttpSenderCommonTest, TimeOutFallsBackToTheDefaultWhenNotPositive) {
    EXPECT_EQ(Web::detail::EffectiveTimeoutMs(0), Web::detail::kDefaultTimeoutMs);
    EXPECT_EQ(Web::detail::EffectiveTimeoutMs(-1), Web::detail::kDefaultTimeoutMs);
    EXPECT_EQ(Web::detail::EffectiveTimeoutMs(1), 1);
    EXPECT_EQ(Web::detail::EffectiveTimeoutMs(60000), 60000);
}

TEST(HttpSenderCommonTest, RequestTargetKeepsTheObjectAndEncodesOnlyWhatCannotStand) {
    using Web::detail::RequestTarget;
    // Escapes, reserved characters and dot segments go out untouched.
    EXPECT_EQ(RequestTarget("/cgi-bin/a.cgi?Name=a%2Bb&Path=/x/../y&T=%E4"),
              "/cgi-bin/a.cgi?Name=a%2Bb&Path=/x/../y&T=%E4");
    EXPECT_EQ(RequestTarget("cgi-bin/a.cgi"), "/cgi-bin/a.cgi");
    // Blank, controls, DEL, bytes above 0x7F and '#' would split the request line or cut the URL.
    EXPECT_EQ(RequestTarget("/a?b=c d\r\nX: 1#2\x7f\xe4"), "/a?b=c%20d%0D%0AX:%201%232%7F%E4");
    EXPECT_EQ(RequestTarget(std::string("/a\0b", 4)), "/a%00b");
}

TEST(HttpSenderCommonTest, IsSendableRejectsWhatMustNotGoOut) {
    using Web::detail::IsSendable;
    EXPECT_TRUE(IsSendable(Request("GET", "/a")));
    EXPECT_TRUE(IsSendable(Request("M-SEARCH", "*")));
    for (const char* verb : {"", "GE T", "GET\r\n", "GET/", "G(ET"}) {
        EXPECT_FALSE(IsSendable(Request(verb, "/a"))) << verb;
    }
    EXPECT_FALSE(IsSendable(Request("GET", "")));

    for (const std::string& line : {std::string("X-A: 1"), std::string("Expect:")}) {
        auto request = Request("GET", "/a");
        request.headerLines = {line};
        EXPECT_TRUE(IsSendable(request)) << line;
    }
    for (const std::string& line :
         {std::string(": 1"), std::string("no colon"), std::string("X-A: 1\r\nX-B: 2"),
          std::string("X-A: 1\n"), std::string("X-A: a\0b", 8)}) {
        auto request = Request("GET", "/a");
        request.headerLines = {"X-Ok: 1", line};
        EXPECT_FALSE(IsSendable(request)) << line;
    }

    auto post = Request("POST", "/a");
    post.body = {'a', 'b', 'c'};
    for (uint32_t total : {0u, 3u}) {
        post.totalLength = total;
        EXPECT_TRUE(IsSendable(post)) << total;
    }
    post.totalLength = 4;  // the missing byte could never be written
    EXPECT_FALSE(IsSendable(post));
}

TEST(HttpSenderContractTest, SendOnlyReturnsOnceTheRequestIsOut) {
    std::promise<std::string> received;
    auto head = received.get_future();
    std::atomic<bool> first{true};
    LocalHttpServer server([&](LocalHttpServer::Connection& c) {
        std::string text;
        if (!c.ReadRequest(&text) || !first.exchange(false)) return;
        received.set_value(text);
        c.HoldUntilStopOrClose();  // never answers
    });
    Web::CHttpSender sender(Device(server.Port(), 30000));
    Web::HttpRequest request("POST", "/cmd?go=1");
    request.body = {'a', 'b', 'c'};
    request.options |= Web::kOptionSendOnly;
    auto send = std::async(std::launch::async, [&] { return sender.SendRequest(request); });
    ASSERT_EQ(send.wait_for(kGenerous), std::future_status::ready);
    EXPECT_TRUE(send.get());
    EXPECT_EQ(sender.GetStatusCode(), 0u);
    ASSERT_EQ(head.wait_for(kGenerous), std::future_status::ready);
    EXPECT_EQ(head.get().rfind("POST /cmd?go=1 HTTP/1.1\r\n", 0), 0u);
    sender.CloseRequest();
}

TEST(HttpSenderContractTest, BodyGoesOutAndAnOverAnnouncedLengthFailsWithoutTraffic) {
    std::atomic<int> requests{0};
    std::string head;
    LocalHttpServer server([&](LocalHttpServer::Connection& c) {
        while (c.ReadRequest(&head)) {
            ++requests;
            c.Send("HTTP/1.1 204 No Content\r\n\r\n");
        }
    });
    Web::CHttpSender sender(Device(server.Port()));
    Web::HttpRequest request("POST", "/set");
    request.body = {'a', 'b', 'c'};
    request.totalLength = 3;
    ASSERT_TRUE(sender.SendRequest(request));
    EXPECT_EQ(sender.GetStatusCode(), 204u);
    std::vector<uint8_t> body;
    EXPECT_EQ(sender.ReadAll(body), 0u);

    request.totalLength = 4;
    EXPECT_FALSE(sender.SendRequest(request));
    EXPECT_EQ(sender.GetStatusCode(), 204u);  // the status of the last response stays
    sender.CloseRequest();
    server.Stop();
    EXPECT_EQ(requests.load(), 1);
    EXPECT_NE(head.find("\r\nContent-Length: 3\r\n"), std::string::npos) << head;
}

TEST(HttpSenderContractTest, HeadersJustUnderTheCapPass) {
    LocalHttpServer server([](LocalHttpServer::Connection& c) {
        if (!c.ReadRequest()) return;
        std::string head = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n";
        for (int i = 0; head.size() < 60 * 1024; ++i) {
            head += "X-Filler-" + std::to_string(i) + ": " + std::string(40, 'x') + "\r\n";
        }
        c.Send(head + "\r\nok");
    });
    Web::CHttpSender sender(Device(server.Port()));
    Web::HttpRequest request("GET", "/a");
    ASSERT_TRUE(sender.SendRequest(request));
    std::vector<uint8_t> body;
    EXPECT_EQ(sender.ReadAll(body), 2u);
}

TEST(HttpSenderContractTest, AnswersWithoutABodyAreNotMistakenForCutShortOnes) {
    std::atomic<int> connections{0};
    LocalHttpServer server([&](LocalHttpServer::Connection& c) {
        ++connections;
        std::string head;
        while (c.ReadRequest(&head)) {
            if (head.rfind("HEAD ", 0) == 0) {
                c.Send("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\n");
            } else if (head.find(" /empty ") != std::string::npos) {
                c.Send("HTTP/1.1 204 No Content\r\n\r\n");
            } else {
                c.Send("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello");
            }
        }
    });
    Web::CHttpSender sender(Device(server.Port(), 5000));
    std::vector<uint8_t> body;
    for (const char* verb : {"HEAD", "GET"}) {
        Web::HttpRequest request(verb, std::string(verb) == "HEAD" ? "/a" : "/empty");
        const auto start = Clock::now();
        ASSERT_TRUE(sender.SendRequest(request)) << verb;
        EXPECT_EQ(sender.ReadAll(body), 0u) << verb;
        // An empty body ends at once, without waiting for the time-out.
        EXPECT_LT(Clock::now() - start, 2500ms) << verb;
        sender.CloseRequest();
    }
    Web::HttpRequest get("GET", "/b");
    ASSERT_TRUE(sender.SendRequest(get));
    EXPECT_EQ(sender.ReadAll(body), 5u);
    sender.CloseRequest();
    server.Stop();
    EXPECT_EQ(connections.load(), 1);
}

TEST(HttpSenderContractTest, ClosingALongBodyEarlyReturnsAtOnce) {
    LocalHttpServer server([](LocalHttpServer::Connection& c) {
        if (!c.ReadRequest()) return;
        c.Send("HTTP/1.1 200 OK\r\nContent-Length: 1000000\r\n\r\n0123456789");
        c.HoldUntilStopOrClose();
    });
    Web::CHttpSender sender(Device(server.Port(), 5000));
    Web::HttpRequest request("GET", "/a");
    ASSERT_TRUE(sender.SendRequest(request));
    std::vector<uint8_t> chunk;
    EXPECT_EQ(sender.ReadChunk(chunk, 5), 5u);
    // The rest is neither read nor waited for: the connection is dropped instead.
    const auto start = Clock::now();
    sender.CloseRequest();
    EXPECT_LT(Clock::now() - start, 2500ms);
}

// Every wait a stalled camera can leave the owner in ends within a second of Abort, however long
// the time-out. Each phase has its own server and sender; the sender goes first, so whatever the
// HTTP stack still does for the abandoned request ends after the sender is gone.
TEST(HttpSenderContractTest, AbortEndsEveryStalledWaitWithinASecond) {
    struct Phase {
        const char* call;    // the call that blocks
        const char* answer;  // what the server sends before it stalls
    };
    for (const Phase phase :
         {Phase{"SendRequest", ""},
          Phase{"ReadChunk", "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\nabc"},
          Phase{"ReadAll", "HTTP/1.1 200 OK\r\nContent-Length: 9999\r\n\r\nabc"}}) {
        SCOPED_TRACE(phase.call);
        std::promise<void> answered;
        LocalHttpServer server([&](LocalHttpServer::Connection& c) {
            if (!c.ReadRequest()) return;
            c.Send(phase.answer);
            answered.set_value();
            c.HoldUntilStopOrClose();
        });
        Web::CHttpSender sender(Device(server.Port(), 60000));
        auto work = std::async(std::launch::async, [&] {
            auto get = Request("GET", "/a");
            std::vector<uint8_t> out;
            if (!sender.SendRequest(get)) return false;
            return std::string(phase.call) == "ReadChunk" ? sender.ReadChunk(out, 4096) > 0
                                                          : sender.ReadAll(out) > 0;
        });
        ASSERT_EQ(answered.get_future().wait_for(kGenerous), std::future_status::ready);
        std::this_thread::sleep_for(100ms);  // let the call block
        const auto start = Clock::now();
        sender.Abort();
        ASSERT_EQ(work.wait_for(kGenerous), std::future_status::ready);
        EXPECT_LT(Clock::now() - start, 1s);
        EXPECT_FALSE(work.get());
    }
}

// An abandoned request may still be completed by the HTTP stack after the abort: the bytes that
// arrive then must land neither in the caller's buffer nor in the next request's answer.
TEST(HttpSenderContractTest, DataArrivingAfterAnAbortReachesNeitherTheCallerNorTheNextRequest) {
    std::atomic<bool> release{false};
    std::promise<void> answered;
    LocalHttpServer server([&](LocalHttpServer::Connection& c) {
        std::string head;
        if (!c.ReadRequest(&head)) return;
        if (head.find(" /stream ") == std::string::npos) {
            c.Send("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nfresh");
            return;
        }
        c.Send("HTTP/1.1 200 OK\r\nContent-Length: 20003\r\n\r\nabc");
        answered.set_value();
        while (!release.load()) {
            if (!c.Sleep(5ms)) return;
        }
        c.Send(std::string(20000, 'x'));
    });
    Web::CHttpSender sender(Device(server.Port(), 60000));
    auto stream = Request("GET", "/stream");
    ASSERT_TRUE(sender.SendRequest(stream));
    std::vector<uint8_t> body;
    auto read = std::async(std::launch::async, [&] { return sender.ReadAll(body); });
    ASSERT_EQ(answered.get_future().wait_for(kGenerous), std::future_status::ready);
    std::this_thread::sleep_for(100ms);
    sender.Abort();
    ASSERT_EQ(read.wait_for(kGenerous), std::future_status::ready);
    EXPECT_EQ(read.get(), 0u);
    EXPECT_TRUE(body.empty());
    body.assign(8192, 'z');  // the storage the aborted read had

    sender.ResetAbort();
    release.store(true);  // the rest of the stream arrives while the next request waits
    auto next = Request("GET", "/next");
    ASSERT_TRUE(sender.SendRequest(next));
    EXPECT_EQ(sender.GetStatusCode(), 200u);
    std::vector<uint8_t> fresh;
    EXPECT_EQ(sender.ReadAll(fresh), 5u);
    EXPECT_EQ(std::string(fresh.begin(), fresh.end()), "fresh");
    sender.CloseRequest();
    EXPECT_EQ(body, std::vector<uint8_t>(8192, 'z'));
}

// A send whose answer never comes fails after the time-out, not before and not much later, and
// the sender serves the next request.
TEST(HttpSenderContractTest, SendTimingOutLeavesTheSenderUsable) {
    std::atomic<int> connections{0};
    LocalHttpServer server([&](LocalHttpServer::Connection& c) {
        if (++connections == 1) {
            if (c.ReadRequest()) c.HoldUntilStopOrClose();  // never answers
            return;
        }
        while (c.ReadRequest()) c.Send("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
    });
    Web::CHttpSender sender(Device(server.Port(), 500));
    auto silent = Request("GET", "/silent");
    const auto start = Clock::now();
    EXPECT_FALSE(sender.SendRequest(silent));
    const auto elapsed = Clock::now() - start;
    EXPECT_GE(elapsed, 400ms);
    EXPECT_LT(elapsed, 5s);
    EXPECT_FALSE(sender.Aborted());

    auto get = Request("GET", "/b");
    ASSERT_TRUE(sender.SendRequest(get));
    EXPECT_EQ(sender.GetStatusCode(), 200u);
    std::vector<uint8_t> body;
    EXPECT_EQ(sender.ReadAll(body), 2u);
}

TEST(HttpSenderContractTest, AbortRacingWithWorkEndsItAndResetRestoresTheSender) {
    const std::string data(64 * 1024, 'd');
    LocalHttpServer server([&](LocalHttpServer::Connection& c) {
        std::string head;
        if (!c.ReadRequest(&head)) return;
        if (head.find(" /slow ") != std::string::npos) {
            c.Send("HTTP/1.1 200 OK\r\nConnection: close\r\n\r\nabc");
            c.Sleep(50ms);  // a read of more than three bytes blocks until the connection ends
            return;
        }
        c.Send("HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: " +
               std::to_string(data.size()) + "\r\n\r\n" + data);
    });
    std::mt19937 random(12345);
    for (int round = 0; round < 30; ++round) {
        // The server ends every answer within 50 ms, so a missed abort shows up as a wrong
        // result rather than a hang.
        Web::CHttpSender sender(Device(server.Port()));
        auto work = std::async(std::launch::async, [&] {
            std::vector<uint8_t> out;
            Web::HttpRequest get("GET", "/data");
            if (!sender.SendRequest(get) || sender.ReadAll(out) != data.size()) return;
            Web::HttpRequest slow("GET", "/slow");
            if (sender.SendRequest(slow)) sender.ReadChunk(out, 4096);
        });
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 15000));
        sender.Abort();
        ASSERT_EQ(work.wait_for(kGenerous), std::future_status::ready) << round;
        work.get();
        EXPECT_TRUE(sender.Aborted());
        std::vector<uint8_t> out;
        EXPECT_EQ(sender.ReadChunk(out, 1), 0u) << round;

        sender.ResetAbort();
        Web::HttpRequest get("GET", "/data");
        ASSERT_TRUE(sender.SendRequest(get)) << round;
        EXPECT_EQ(sender.ReadAll(out), data.size()) << round;
    }
}

}  // namespace
