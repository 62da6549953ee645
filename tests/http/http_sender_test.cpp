#include "http/http_sender.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "camsim.h"
#include "local_http_server.h"
#include "support/test_platform.h"

namespace {

using namespace std::chrono_literals;
using httptest::LocalHttpServer;
using zarncam::AuthScheme;

constexpr auto kGenerous = 10s;  // bound for waits that normally end at once
constexpr const char* kNoDigestAnswers =
    "this platform's HTTP stack learns Digest but sends no Digest answer";

talvane::DEVICE_INFO Device(uint16_t port, std::string user = "admin",
                            std::string password = "admin", int32_t timeoutMs = 2000) {
    talvane::DEVICE_INFO device;
    device.requestTimeoutMs = timeoutMs;
    device.noDataTimeoutMs = timeoutMs;
    device.address = "127.0.0.1";
    device.port = port;
    device.user = std::move(user);
    device.password = std::move(password);
    return device;
}

std::string Text(const std::vector<uint8_t>& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

bool Get(Web::CHttpSender& sender, const std::string& object) {
    Web::HttpRequest request("GET", object);
    return sender.SendRequest(request);
}

std::string Pattern(size_t size) {
    std::string out(size, '\0');
    for (size_t i = 0; i < size; ++i) out[i] = static_cast<char>('a' + (i * 7 + i / 26) % 26);
    return out;
}

class CameraTest : public ::testing::Test {
protected:
    void StartCamera(std::vector<AuthScheme> auth, std::string password = "admin") {
        zarncam::Config config;
        config.auth = std::move(auth);
        config.password = std::move(password);
        camera_ = std::make_unique<zarncam::Camera>(config);
        ASSERT_TRUE(camera_->Start());
    }
    std::vector<zarncam::RequestRecord> Requests() const { return camera_->Requests(); }

    std::unique_ptr<zarncam::Camera> camera_;
};

TEST_F(CameraTest, BasicCredentialsGoWithTheFirstRequest) {
    StartCamera({AuthScheme::kBasic});
    Web::CHttpSender sender(Device(camera_->Port()));
    ASSERT_TRUE(Get(sender, "/cgi-bin/CapabilityConfig.cgi"));
    EXPECT_EQ(sender.GetStatusCode(), 200u);
    std::vector<uint8_t> body;
    EXPECT_GT(sender.ReadAll(body), 0u);
    EXPECT_NE(Text(body).find("ProductID=HD2100\r\n"), std::string::npos);
    sender.CloseRequest();

    const auto records = Requests();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].auth, AuthScheme::kBasic);
    EXPECT_EQ(records[0].status, 200);
    EXPECT_EQ(sender.LearnedScheme(), Web::kAuthNone);
}

TEST_F(CameraTest, DigestIsLearnedFromOneChallengeAndKeptForLaterRequests) {
    StartCamera({AuthScheme::kDigest});
    Web::CHttpSender sender(Device(camera_->Port()));
    ASSERT_TRUE(Get(sender, "/cgi-bin/PtzConfig.cgi?Action=Get"));
    EXPECT_EQ(sender.LearnedScheme(), Web::kAuthDigest);
    ASSERT_GE(Requests().size(), 2u);
    EXPECT_EQ(Requests()[0].auth, AuthScheme::kBasic);
    EXPECT_EQ(Requests()[0].status, 401);
    if (zarntest::RunningUnderWine()) GTEST_SKIP() << kNoDigestAnswers;
    EXPECT_EQ(sender.GetStatusCode(), 200u);
    std::vector<uint8_t> first;
    EXPECT_GT(sender.ReadAll(first), 0u);
    sender.CloseRequest();
    for (int i = 1; i < 3; ++i) {
        ASSERT_TRUE(Get(sender, "/cgi-bin/PtzConfig.cgi?Action=Get")) << i;
        EXPECT_EQ(sender.GetStatusCode(), 200u);
        std::vector<uint8_t> body;
        EXPECT_GT(sender.ReadAll(body), 0u);
        sender.CloseRequest();
    }
    EXPECT_EQ(sender.LearnedScheme(), Web::kAuthDigest);

    const auto records = Requests();
    ASSERT_EQ(records.size(), 4u);
    EXPECT_EQ(records[0].auth, AuthScheme::kBasic);
    EXPECT_EQ(records[0].status, 401);
    for (size_t i = 1; i < records.size(); ++i) {
        EXPECT_EQ(records[i].auth, AuthScheme::kDigest) << i;
        EXPECT_EQ(records[i].status, 200) << i;
        EXPECT_EQ(records[i].target, "/cgi-bin/PtzConfig.cgi?Action=Get");
    }
}

TEST_F(CameraTest, PreferredDigestIsAnsweredWithoutLearning) {
    if (zarntest::RunningUnderWine()) GTEST_SKIP() << kNoDigestAnswers;
    StartCamera({AuthScheme::kDigest});
    Web::CHttpSender sender(Device(camera_->Port()));
    Web::HttpRequest request("GET", "/cgi-bin/PtzConfig.cgi?Action=Get");
    request.authMethod = 3;
    ASSERT_TRUE(sender.SendRequest(request));
    EXPECT_EQ(sender.GetStatusCode(), 200u);
    EXPECT_EQ(sender.LearnedScheme(), Web::kAuthNone);
    const auto records = Requests();
    ASSERT_FALSE(records.empty());
    EXPECT_EQ(records.back().auth, AuthScheme::kDigest);
    EXPECT_EQ(records.back().status, 200);
}

TEST_F(CameraTest, RefusedCredentials) {
    {
        SCOPED_TRACE("Basic offered: the credentials already went with it, one exchange");
        StartCamera({AuthScheme::kBasic, AuthScheme::kDigest}, "other");
        Web::CHttpSender sender(Device(camera_->Port()));
        EXPECT_FALSE(Get(sender, "/cgi-bin/CapabilityConfig.cgi"));
        EXPECT_EQ(sender.GetStatusCode(), 401u);
        EXPECT_EQ(sender.LearnedScheme(), Web::kAuthBasic);
        EXPECT_EQ(Requests().size(), 1u);
    }
    {
        SCOPED_TRACE("Digest offered: one retry, whose 401 is the caller's to judge");
        StartCamera({AuthScheme::kDigest}, "other");
        Web::CHttpSender sender(Device(camera_->Port()));
        EXPECT_TRUE(Get(sender, "/cgi-bin/CapabilityConfig.cgi"));
        EXPECT_EQ(sender.GetStatusCode(), 401u);
        EXPECT_EQ(sender.LearnedScheme(), Web::kAuthDigest);
        const auto records = Requests();
        ASSERT_GE(records.size(), 2u);
        EXPECT_LE(records.size(), 3u);
        for (const auto& record : records) EXPECT_EQ(record.status, 401);
        if (!zarntest::RunningUnderWine()) {
            EXPECT_EQ(records[1].auth, AuthScheme::kDigest);
        }
    }
}

TEST_F(CameraTest, EndlessChallengesEndAfterOneRetry) {
    StartCamera({AuthScheme::kDigest});
    camera_->UpdateFaults([](zarncam::Faults& f) { f.endless401 = true; });
    Web::CHttpSender sender(Device(camera_->Port()));
    EXPECT_TRUE(Get(sender, "/cgi-bin/CapabilityConfig.cgi"));
    EXPECT_EQ(sender.GetStatusCode(), 401u);
    sender.CloseRequest();
    const size_t first = Requests().size();
    EXPECT_LE(first, 3u);
    // Learned already: a later 401 is handed over without a new learning round.
    EXPECT_TRUE(Get(sender, "/cgi-bin/CapabilityConfig.cgi"));
    EXPECT_EQ(sender.GetStatusCode(), 401u);
    EXPECT_EQ(sender.LearnedScheme(), Web::kAuthDigest);
    EXPECT_LE(Requests().size() - first, 2u);
}

TEST_F(CameraTest, AnonymousSenderNeverSendsCredentials) {
    {
        SCOPED_TRACE("Basic first: the send fails after one exchange");
        StartCamera({AuthScheme::kBasic});
        Web::CHttpSender sender(Device(camera_->Port(), "", ""));
        EXPECT_FALSE(Get(sender, "/cgi-bin/CapabilityConfig.cgi"));
        const auto records = Requests();
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(records[0].auth, AuthScheme::kNone);
    }
    {
        SCOPED_TRACE("Digest first: a second anonymous attempt, its 401 handed over");
        StartCamera({AuthScheme::kDigest, AuthScheme::kBasic});
        Web::CHttpSender sender(Device(camera_->Port(), "", ""));
        EXPECT_TRUE(Get(sender, "/cgi-bin/CapabilityConfig.cgi"));
        EXPECT_EQ(sender.GetStatusCode(), 401u);
        EXPECT_EQ(sender.LearnedScheme(), Web::kAuthDigest);  // the first scheme offered
        const auto records = Requests();
        ASSERT_EQ(records.size(), 2u);
        for (const auto& record : records) EXPECT_EQ(record.auth, AuthScheme::kNone);
    }
}

TEST_F(CameraTest, MalformedRequestsFailWithoutTraffic) {
    StartCamera({AuthScheme::kBasic});
    Web::CHttpSender sender(Device(camera_->Port()));
    Web::HttpRequest noObject("GET", "");
    EXPECT_FALSE(sender.SendRequest(noObject));
    Web::HttpRequest noVerb("", "/cgi-bin/CapabilityConfig.cgi");
    EXPECT_FALSE(sender.SendRequest(noVerb));
    Web::HttpRequest injected("GET", "/cgi-bin/CapabilityConfig.cgi");
    injected.headerLines.push_back("X-A: 1\r\nX-B: 2");
    EXPECT_FALSE(sender.SendRequest(injected));
    EXPECT_EQ(sender.GetStatusCode(), 0u);
    EXPECT_EQ(camera_->GetStats().connectionsAccepted, 0u);
    EXPECT_TRUE(Requests().empty());
}

TEST_F(CameraTest, ObjectIsSentAsGivenOverOneReusedConnection) {
    StartCamera({AuthScheme::kBasic});
    Web::CHttpSender sender(Device(camera_->Port()));
    const std::vector<std::string> objects = {
        "/cgi-bin/PtzConfig.cgi?Action=Get&Name=a%2Bb&Path=/x/../y",
        "/cgi-bin/CapabilityConfig.cgi",
        "/cgi-bin/PtzConfig.cgi?Action=Get&Text=%E4%20",
    };
    for (const auto& object : objects) {
        ASSERT_TRUE(Get(sender, object));
        std::vector<uint8_t> body;
        sender.ReadAll(body);
        sender.CloseRequest();
    }
    // Bytes that cannot stand in a request line are encoded instead of splitting it.
    ASSERT_TRUE(Get(sender, "/cgi-bin/PtzConfig.cgi?Action=Get&Name=a b\r\nX-Injected: 1#2"));
    sender.CloseRequest();

    const auto records = Requests();
    ASSERT_EQ(records.size(), 4u);
    for (size_t i = 0; i < objects.size(); ++i) EXPECT_EQ(records[i].target, objects[i]);
    EXPECT_EQ(records[3].target,
              "/cgi-bin/PtzConfig.cgi?Action=Get&Name=a%20b%0D%0AX-Injected:%201%232");
    EXPECT_EQ(camera_->GetStats().connectionsAccepted, 1u);
}

TEST_F(CameraTest, EveryRequestCarriesTheSameHeadersAsTheOtherBuild) {
    // No accept types, the no-cache pair of a refreshing request, the client's name.
    StartCamera({AuthScheme::kBasic});
    Web::CHttpSender sender(Device(camera_->Port()));
    ASSERT_TRUE(Get(sender, "/cgi-bin/CapabilityConfig.cgi"));
    sender.CloseRequest();
    const auto records = Requests();
    ASSERT_EQ(records.size(), 1u);
    std::map<std::string, std::string> headers;
    for (const auto& [name, value] : records[0].headers) headers[name] = value;
    EXPECT_EQ(headers.count("accept"), 0u);
    EXPECT_EQ(headers["pragma"], "no-cache");
    EXPECT_EQ(headers["cache-control"], "no-cache");
    EXPECT_EQ(headers["user-agent"], "Talvane::HttpClient");
}

TEST_F(CameraTest, LargeBodyPassesThePausedBuffer) {
    zarncam::Config config;
    config.capabilityBody = Pattern(700 * 1024);
    camera_ = std::make_unique<zarncam::Camera>(config);
    ASSERT_TRUE(camera_->Start());
    Web::CHttpSender sender(Device(camera_->Port()));

    ASSERT_TRUE(Get(sender, "/cgi-bin/CapabilityConfig.cgi"));
    std::vector<uint8_t> body;
    EXPECT_EQ(sender.ReadAll(body), config.capabilityBody->size());
    EXPECT_TRUE(Text(body) == *config.capabilityBody);
    sender.CloseRequest();

    ASSERT_TRUE(Get(sender, "/cgi-bin/CapabilityConfig.cgi"));
    bool tooLong = false;
    EXPECT_EQ(sender.ReadAllLimited(body, 700 * 1024 - 1, &tooLong), 0u);
    EXPECT_TRUE(body.empty());
    EXPECT_TRUE(tooLong);
    sender.CloseRequest();

    ASSERT_TRUE(Get(sender, "/cgi-bin/CapabilityConfig.cgi"));
    EXPECT_EQ(sender.ReadAllLimited(body, 700 * 1024, &tooLong), 700u * 1024);
    EXPECT_FALSE(tooLong);
}

TEST_F(CameraTest, AbortEndsABlockedSendAndFailsLaterOnesUntilReset) {
    StartCamera({AuthScheme::kBasic});
    camera_->UpdateFaults([](zarncam::Faults& f) { f.cgiDelayMs = 30000; });
    Web::CHttpSender sender(Device(camera_->Port(), "admin", "admin", 60000));
    auto send = std::async(std::launch::async,
                           [&] { return Get(sender, "/cgi-bin/CapabilityConfig.cgi"); });
    ASSERT_TRUE(camera_->WaitForStats(
        [](const zarncam::Stats& s) { return s.connectionsAccepted > 0; }, kGenerous));
    sender.Abort();
    ASSERT_EQ(send.wait_for(kGenerous), std::future_status::ready);
    EXPECT_FALSE(send.get());
    EXPECT_TRUE(sender.Aborted());

    camera_->UpdateFaults([](zarncam::Faults& f) { f.cgiDelayMs = 0; });
    const auto accepted = camera_->GetStats().connectionsAccepted;
    EXPECT_FALSE(Get(sender, "/cgi-bin/CapabilityConfig.cgi"));
    EXPECT_EQ(camera_->GetStats().connectionsAccepted, accepted);

    sender.ResetAbort();
    EXPECT_TRUE(Get(sender, "/cgi-bin/CapabilityConfig.cgi"));
    EXPECT_EQ(sender.GetStatusCode(), 200u);
}

TEST_F(CameraTest, AbortEndsAReadOfAStalledStream) {
    StartCamera({AuthScheme::kBasic});
    camera_->UpdateFaults([](zarncam::Faults& f) { f.stall = true; });
    Web::CHttpSender sender(Device(camera_->Port(), "admin", "admin", 60000));
    ASSERT_TRUE(Get(sender, "/cgi-bin/video_post.cgi"));
    EXPECT_EQ(sender.GetStatusCode(), 200u);
    std::vector<uint8_t> chunk;
    auto read = std::async(std::launch::async, [&] { return sender.ReadChunk(chunk, 1 << 20); });
    ASSERT_TRUE(camera_->WaitForStats([](const zarncam::Stats& s) { return s.streamsStalled > 0; },
                                      kGenerous));
    sender.Abort();
    ASSERT_EQ(read.wait_for(kGenerous), std::future_status::ready);
    EXPECT_EQ(read.get(), 0u);
    sender.CloseRequest();
}

TEST(HttpSenderTest, UnreachableCameraFailsTheSend) {
    Web::CHttpSender sender(Device(httptest::ClosedPort()));
    EXPECT_FALSE(Get(sender, "/cgi-bin/CapabilityConfig.cgi"));
    EXPECT_EQ(sender.GetStatusCode(), 0u);
    std::vector<uint8_t> out{1, 2};
    EXPECT_EQ(sender.ReadChunk(out, 4), 0u);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(sender.ReadAll(out), 0u);
}

TEST(HttpSenderTest, ReadChunkAssemblesExactSizesFromATrickle) {
    const std::string payload = Pattern(3000);
    LocalHttpServer server([&](LocalHttpServer::Connection& c) {
        if (!c.ReadRequest()) return;
        c.Send("HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n");
        for (size_t at = 0; at < payload.size(); at += 7) {
            if (!c.Send(std::string_view(payload).substr(at, 7)) || !c.Sleep(1ms)) return;
        }
    });
    Web::CHttpSender sender(Device(server.Port()));
    ASSERT_TRUE(Get(sender, "/stream"));
    std::vector<uint8_t> chunk;
    std::string assembled;
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(sender.ReadChunk(chunk, 1000), 1000u) << i;
        assembled += Text(chunk);
    }
    EXPECT_TRUE(assembled == payload);
    EXPECT_EQ(sender.ReadChunk(chunk, 10), 0u);  // the response has ended
}

TEST(HttpSenderTest, ReadAvailableTakesWhatHasArrivedWithoutWaitingForMore) {
    LocalHttpServer server([](LocalHttpServer::Connection& c) {
        if (!c.ReadRequest()) return;
        c.Send("HTTP/1.1 200 OK\r\nConnection: close\r\n\r\nabc");
        c.HoldUntilStopOrClose();
    });
    Web::CHttpSender sender(Device(server.Port(), "admin", "admin", 60000));
    ASSERT_TRUE(Get(sender, "/stream"));
    // Asks for far more than was sent: returns with the three bytes, long before the time-out.
    auto read = std::async(std::launch::async, [&] {
        std::string got;
        uint8_t buffer[4096];
        while (got.size() < 3) {
            const size_t n = sender.ReadAvailable(buffer, sizeof(buffer));
            if (n == 0) break;
            got.append(reinterpret_cast<const char*>(buffer), n);
        }
        return got;
    });
    ASSERT_EQ(read.wait_for(kGenerous), std::future_status::ready);
    EXPECT_EQ(read.get(), "abc");
    // Nothing more arrives: an abort ends the wait for the next byte at once.
    uint8_t byte = 0;
    auto blocked = std::async(std::launch::async, [&] { return sender.ReadAvailable(&byte, 1); });
    std::this_thread::sleep_for(100ms);
    sender.Abort();
    ASSERT_EQ(blocked.wait_for(kGenerous), std::future_status::ready);
    EXPECT_EQ(blocked.get(), 0u);
    EXPECT_EQ(sender.ReadAvailable(&byte, 1), 0u);  // fails fast until reset
}

TEST(HttpSenderTest, ReadAvailableHandsOutATrickleInOrderUpToTheMaximum) {
    const std::string payload = Pattern(3000);
    LocalHttpServer server([&](LocalHttpServer::Connection& c) {
        if (!c.ReadRequest()) return;
        c.Send("HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n");
        for (size_t at = 0; at < payload.size(); at += 7) {
            if (!c.Send(std::string_view(payload).substr(at, 7)) || !c.Sleep(1ms)) return;
        }
    });
    Web::CHttpSender sender(Device(server.Port()));
    ASSERT_TRUE(Get(sender, "/stream"));
    std::string assembled;
    uint8_t buffer[1000];
    for (int guard = 0; guard < 10000; ++guard) {
        const size_t max = 1 + static_cast<size_t>(guard) % sizeof(buffer);
        const size_t n = sender.ReadAvailable(buffer, max);
        ASSERT_LE(n, max);
        if (n == 0) break;
        assembled.append(reinterpret_cast<const char*>(buffer), n);
    }
    EXPECT_TRUE(assembled == payload);
    EXPECT_EQ(sender.ReadAvailable(buffer, 10), 0u);  // the response has ended

    // What is buffered comes out in pieces of the size asked for.
    LocalHttpServer small([](LocalHttpServer::Connection& c) {
        while (c.ReadRequest()) c.Send("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello");
    });
    Web::CHttpSender second(Device(small.Port()));
    ASSERT_TRUE(Get(second, "/a"));
    std::string pieces;
    for (size_t n = second.ReadAvailable(buffer, 2); n > 0; n = second.ReadAvailable(buffer, 2)) {
        EXPECT_LE(n, 2u);
        pieces.append(reinterpret_cast<const char*>(buffer), n);
        pieces += '|';
    }
    EXPECT_EQ(pieces, "he|ll|o|");
}

// An endless stream's body is read straight from the connection once its headers are in; the
// bytes that came with the headers must not be lost, and the connection must not serve again.
TEST(HttpSenderTest, AStreamBodyReadFromTheSocketKeepsEveryByteAndItsConnectionIsDropped) {
    const std::string payload = Pattern(20000);
    std::atomic<int> connections{0};
    LocalHttpServer server([&](LocalHttpServer::Connection& c) {
        if (!c.ReadRequest()) return;
        if (++connections > 1) {
            c.Send("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
            c.HoldUntilStopOrClose();
            return;
        }
        // The first body bytes in the headers' segment, the rest in pieces of every size.
        c.Send("HTTP/1.1 200 OK\r\nConnection: keep-alive\r\n\r\n" + payload.substr(0, 100));
        size_t at = 100;
        for (size_t piece = 1; at < payload.size(); piece = piece * 3 % 4099 + 1) {
            const size_t n = std::min(piece, payload.size() - at);
            if (!c.Send(std::string_view(payload).substr(at, n)) || !c.Sleep(1ms)) return;
            at += n;
        }
        c.HoldUntilStopOrClose();
    });
    Web::CHttpSender sender(Device(server.Port()));
    ASSERT_TRUE(Get(sender, "/stream"));
    std::string got;
    uint8_t buffer[777];
    while (got.size() < payload.size()) {
        const size_t n = sender.ReadAvailable(buffer, sizeof(buffer));
        ASSERT_GT(n, 0u) << "after " << got.size() << " bytes";
        got.append(reinterpret_cast<const char*>(buffer), n);
    }
    EXPECT_TRUE(got == payload);
    sender.CloseRequest();
    ASSERT_TRUE(Get(sender, "/a"));
    std::vector<uint8_t> body;
    EXPECT_EQ(sender.ReadAll(body), 2u);
    EXPECT_EQ(Text(body), "ok");
    EXPECT_EQ(server.Accepted(), 2);
}

TEST(HttpSenderTest, AChunkedStreamIsStillDecodedByTheHttpLibrary) {
    LocalHttpServer server([](LocalHttpServer::Connection& c) {
        if (!c.ReadRequest()) return;
        c.Send("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n");
        c.Sleep(5ms);
        c.Send("6\r\n world\r\n0\r\n\r\n");
        c.HoldUntilStopOrClose();
    });
    Web::CHttpSender sender(Device(server.Port()));
    ASSERT_TRUE(Get(sender, "/stream"));
    std::string got;
    uint8_t buffer[64];
    for (size_t n = sender.ReadAvailable(buffer, sizeof(buffer)); n > 0;
         n = sender.ReadAvailable(buffer, sizeof(buffer))) {
        got.append(reinterpret_cast<const char*>(buffer), n);
    }
    EXPECT_EQ(got, "hello world");
}

TEST(HttpSenderTest, ReadChunkReturnsWhatIsLeftAtTheEndOfTheResponse) {
    LocalHttpServer server([](LocalHttpServer::Connection& c) {
        while (c.ReadRequest()) c.Send("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello");
    });
    Web::CHttpSender sender(Device(server.Port()));
    ASSERT_TRUE(Get(sender, "/a"));
    std::vector<uint8_t> chunk;
    EXPECT_EQ(sender.ReadChunk(chunk, 8), 5u);
    EXPECT_EQ(Text(chunk), "hello");
    EXPECT_EQ(sender.ReadChunk(chunk, 8), 0u);
    EXPECT_TRUE(chunk.empty());
}

TEST(HttpSenderTest, ReceiveTimeOutEndsAStalledRead) {
    LocalHttpServer server([](LocalHttpServer::Connection& c) {
        if (!c.ReadRequest()) return;
        c.Send("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n0123456789");
        c.HoldUntilStopOrClose();
    });
    Web::CHttpSender sender(Device(server.Port(), "admin", "admin", 500));
    ASSERT_TRUE(Get(sender, "/a"));
    std::vector<uint8_t> chunk;
    EXPECT_EQ(sender.ReadChunk(chunk, 100), 10u);
    EXPECT_EQ(Text(chunk), "0123456789");
    // A body cut short is no body.
    EXPECT_EQ(sender.ReadAll(chunk), 0u);
}

TEST(HttpSenderTest, AnswerWithoutLengthIsWhatCameBeforeTheTimeOutOrTheClose) {
    // No Content-Length: the camera's answer is whatever it sent before it went quiet.
    LocalHttpServer stalled([](LocalHttpServer::Connection& c) {
        if (!c.ReadRequest()) return;
        c.Send("HTTP/1.1 200 OK\r\n\r\nName=Door\r\n");
        c.HoldUntilStopOrClose();
    });
    Web::CHttpSender sender(Device(stalled.Port(), "admin", "admin", 500));
    ASSERT_TRUE(Get(sender, "/a"));
    std::vector<uint8_t> body;
    EXPECT_EQ(sender.ReadAll(body), 11u);
    EXPECT_EQ(Text(body), "Name=Door\r\n");
    ASSERT_TRUE(Get(sender, "/a"));
    EXPECT_EQ(sender.ReadAllLimited(body, 1024), 11u);

    LocalHttpServer closed([](LocalHttpServer::Connection& c) {
        if (!c.ReadRequest()) return;
        c.Send("HTTP/1.1 200 OK\r\nConnection: close\r\n\r\nSlot=3");
    });
    Web::CHttpSender second(Device(closed.Port()));
    ASSERT_TRUE(Get(second, "/a"));
    EXPECT_EQ(second.ReadAll(body), 6u);
    EXPECT_EQ(Text(body), "Slot=3");
}

TEST(HttpSenderTest, AbortWakesABlockedReadPromptly) {
    LocalHttpServer server([](LocalHttpServer::Connection& c) {
        if (!c.ReadRequest()) return;
        c.Send("HTTP/1.1 200 OK\r\nConnection: close\r\n\r\nabc");
        c.HoldUntilStopOrClose();
    });
    Web::CHttpSender sender(Device(server.Port(), "admin", "admin", 60000));
    ASSERT_TRUE(Get(sender, "/stream"));
    std::vector<uint8_t> chunk;
    auto read = std::async(std::launch::async, [&] { return sender.ReadChunk(chunk, 4096); });
    std::this_thread::sleep_for(100ms);
    sender.Abort();
    ASSERT_EQ(read.wait_for(kGenerous), std::future_status::ready);
    EXPECT_EQ(read.get(), 0u);
    EXPECT_TRUE(chunk.empty());
    EXPECT_EQ(sender.ReadChunk(chunk, 1), 0u);  // fails fast until reset
}

TEST(HttpSenderTest, BrokenBodyIsNoBody) {
    LocalHttpServer server([](LocalHttpServer::Connection& c) {
        if (!c.ReadRequest()) return;
        c.Send("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nonly-a-part");
    });
    Web::CHttpSender sender(Device(server.Port()));
    ASSERT_TRUE(Get(sender, "/a"));
    std::vector<uint8_t> body;
    EXPECT_EQ(sender.ReadAll(body), 0u);
    EXPECT_TRUE(body.empty());
}

TEST(HttpSenderTest, OversizedResponseHeadersFailTheSend) {
    LocalHttpServer server([](LocalHttpServer::Connection& c) {
        if (!c.ReadRequest()) return;
        std::string head = "HTTP/1.1 200 OK\r\n";
        for (int i = 0; i < 2000; ++i)
            head += "X-Filler-" + std::to_string(i) + ": " + std::string(40, 'x') + "\r\n";
        c.Send(head + "Content-Length: 0\r\n\r\n");
    });
    Web::CHttpSender sender(Device(server.Port()));
    EXPECT_FALSE(Get(sender, "/a"));
}

TEST(HttpSenderTest, HeaderLinesAndUserAgentGoOut) {
    std::string head;
    LocalHttpServer server([&](LocalHttpServer::Connection& c) {
        if (!c.ReadRequest(&head)) return;
        c.Send("HTTP/1.1 204 No Content\r\n\r\n");
    });
    Web::CHttpSender sender(Device(server.Port(), "", ""));
    Web::HttpRequest request("GET", "/a?b=c");
    request.headerLines = {"X-One: 1", "X-Two: 2"};
    ASSERT_TRUE(sender.SendRequest(request));
    EXPECT_EQ(sender.GetStatusCode(), 204u);
    server.Stop();
    EXPECT_EQ(head.rfind("GET /a?b=c HTTP/1.1\r\n", 0), 0u) << head;
    EXPECT_NE(head.find("\r\nUser-Agent: Talvane::HttpClient\r\n"), std::string::npos) << head;
    EXPECT_NE(head.find("\r\nX-One: 1\r\nX-Two: 2\r\n"), std::string::npos) << head;
    EXPECT_EQ(head.find("Authorization"), std::string::npos) << head;
}

}  // namespace
