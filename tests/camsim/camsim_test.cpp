// The virtual camera's HTTP side: life cycle, authentication, CGI scripts, request records and
// the faults that do not concern the stream.
#include "camsim.h"

#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "camsim_test_client.h"

namespace zarncam {
namespace {

using namespace zarncam::testing;

Config BasicConfig() {
    Config config;
    config.user = "admin";
    config.password = "s3cret";
    config.auth = {AuthScheme::kBasic};
    return config;
}

std::string Auth() {
    return BasicHeader("admin", "s3cret");
}

// Stop() must return; the bound is generous, the point is that it does not hang.
void ExpectStopReturns(Camera& camera) {
    auto stopped = std::async(std::launch::async, [&camera] { camera.Stop(); });
    ASSERT_EQ(stopped.wait_for(10s), std::future_status::ready);
    EXPECT_FALSE(camera.Running());
}

TEST(CameraLifecycleTest, StartStopRestartAndDoubleStart) {
    Camera camera(BasicConfig());
    EXPECT_EQ(camera.Port(), 0);
    camera.Stop();  // stop before start does nothing
    ASSERT_TRUE(camera.Start());
    EXPECT_NE(camera.Port(), 0);
    EXPECT_EQ(camera.Url(), "http://127.0.0.1:" + std::to_string(camera.Port()));
    EXPECT_FALSE(camera.Start());

    // An idle keep-alive client must not hold up Stop.
    RawConnection idle(camera.Port());
    ASSERT_TRUE(idle.Connected());
    ASSERT_TRUE(idle.Send(GetRequest("/cgi-bin/CapabilityConfig.cgi", Auth())));
    ASSERT_TRUE(ReadResponse(idle, Clock::now() + 10s));
    ExpectStopReturns(camera);
    EXPECT_EQ(camera.Port(), 0);
    EXPECT_TRUE(idle.WaitClosed(Clock::now() + 10s));

    ASSERT_TRUE(camera.Start());
    const auto answer = HttpGet(camera.Port(), "/cgi-bin/CapabilityConfig.cgi", Auth());
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, 200);
}

TEST(CameraLifecycleTest, BusyPortFailsToStart) {
    Camera first;
    ASSERT_TRUE(first.Start());
    Config config;
    config.port = first.Port();
    Camera second(config);
    EXPECT_FALSE(second.Start());
    EXPECT_FALSE(second.Running());
}

TEST(CameraAuthTest, BasicAcceptedWrongPasswordAndMissingCredentialsGet401) {
    Camera camera(BasicConfig());
    ASSERT_TRUE(camera.Start());
    const uint16_t port = camera.Port();

    const auto ok = HttpGet(port, "/cgi-bin/CapabilityConfig.cgi", Auth());
    ASSERT_TRUE(ok);
    EXPECT_EQ(ok->status, 200);

    const auto wrong = HttpGet(port, "/cgi-bin/CapabilityConfig.cgi", BasicHeader("admin", "x"));
    ASSERT_TRUE(wrong);
    EXPECT_EQ(wrong->status, 401);
    EXPECT_NE(wrong->head.find("WWW-Authenticate: Basic realm=\"ZarnCam\""), std::string::npos);

    const auto none = HttpGet(port, "/cgi-bin/CapabilityConfig.cgi");
    ASSERT_TRUE(none);
    EXPECT_EQ(none->status, 401);
    // Digest credentials are refused when only Basic is offered.
    const CurlResult digest =
        CurlGet(camera.Url() + "/cgi-bin/CapabilityConfig.cgi", "admin", "s3cret", CURLAUTH_DIGEST);
    EXPECT_EQ(digest.status, 401);

    const auto records = camera.Requests();
    ASSERT_EQ(records.size(), 4u);
    EXPECT_EQ(records[0].auth, AuthScheme::kBasic);
    EXPECT_EQ(records[0].status, 200);
    EXPECT_EQ(records[1].auth, AuthScheme::kBasic);
    EXPECT_EQ(records[1].status, 401);
    EXPECT_EQ(records[2].auth, AuthScheme::kNone);
    EXPECT_EQ(records[3].status, 401);
}

TEST(CameraAuthTest, DigestInteroperatesWithLibcurl) {
    Config config = BasicConfig();
    config.auth = {AuthScheme::kDigest};
    Camera camera(config);
    ASSERT_TRUE(camera.Start());
    const std::string url =
        camera.Url() + "/cgi-bin/LoginConfig.cgi?Action=Check&User=admin&Password=s3cret";

    const CurlResult ok = CurlGet(url, "admin", "s3cret", CURLAUTH_DIGEST);
    EXPECT_EQ(ok.code, CURLE_OK);
    EXPECT_EQ(ok.status, 200);
    EXPECT_EQ(ok.body, "Valid=0\r\n");

    const CurlResult wrong = CurlGet(url, "admin", "nope", CURLAUTH_DIGEST);
    EXPECT_EQ(wrong.status, 401);
    const CurlResult basic = CurlGet(url, "admin", "s3cret", CURLAUTH_BASIC);
    EXPECT_EQ(basic.status, 401);

    // libcurl probes without credentials, then answers the challenge; the query string is
    // recorded exactly as sent.
    const auto records = camera.Requests();
    ASSERT_GE(records.size(), 2u);
    EXPECT_EQ(records[0].auth, AuthScheme::kNone);
    EXPECT_EQ(records[0].status, 401);
    EXPECT_EQ(records[1].auth, AuthScheme::kDigest);
    EXPECT_EQ(records[1].status, 200);
    EXPECT_EQ(records[1].target,
              "/cgi-bin/LoginConfig.cgi?Action=Check&User=admin&Password=s3cret");
}

TEST(CameraAuthTest, ForgedDigestResponsesAreRefused) {
    Config config = BasicConfig();
    config.auth = {AuthScheme::kDigest};
    Camera camera(config);
    ASSERT_TRUE(camera.Start());
    // A nonce the camera never issued, and a response for another URI.
    const auto forged =
        HttpGet(camera.Port(), "/cgi-bin/CapabilityConfig.cgi",
                "Authorization: Digest username=\"admin\", realm=\"ZarnCam\", nonce=\"00ff\", "
                "uri=\"/cgi-bin/CapabilityConfig.cgi\", qop=auth, nc=00000001, cnonce=\"ab\", "
                "response=\"0123456789abcdef0123456789abcdef\"\r\n");
    ASSERT_TRUE(forged);
    EXPECT_EQ(forged->status, 401);
    EXPECT_NE(forged->head.find("WWW-Authenticate: Digest realm=\"ZarnCam\", qop=\"auth\""),
              std::string::npos);
    const auto garbage =
        HttpGet(camera.Port(), "/cgi-bin/CapabilityConfig.cgi", "Authorization: Digest ,,=,\"\r\n");
    ASSERT_TRUE(garbage);
    EXPECT_EQ(garbage->status, 401);
}

TEST(CameraAuthTest, BothSchemesOfferedInConfiguredOrderAndBothAccepted) {
    for (const bool digestFirst : {false, true}) {
        Config config = BasicConfig();
        config.auth = digestFirst ? std::vector{AuthScheme::kDigest, AuthScheme::kBasic}
                                  : std::vector{AuthScheme::kBasic, AuthScheme::kDigest};
        Camera camera(config);
        ASSERT_TRUE(camera.Start());
        const auto challenge = HttpGet(camera.Port(), "/cgi-bin/CapabilityConfig.cgi");
        ASSERT_TRUE(challenge);
        ASSERT_EQ(challenge->status, 401);
        const std::size_t basic = challenge->head.find("WWW-Authenticate: Basic");
        const std::size_t digest = challenge->head.find("WWW-Authenticate: Digest");
        ASSERT_NE(basic, std::string::npos);
        ASSERT_NE(digest, std::string::npos);
        EXPECT_EQ(digest < basic, digestFirst);

        const std::string url = camera.Url() + "/cgi-bin/CapabilityConfig.cgi";
        EXPECT_EQ(CurlGet(url, "admin", "s3cret", CURLAUTH_DIGEST).status, 200);
        EXPECT_EQ(CurlGet(url, "admin", "s3cret", CURLAUTH_BASIC).status, 200);
    }
}

TEST(CameraAuthTest, NoAuthenticationAcceptsAnyRequestAndRecordsTheSchemeUsed) {
    Camera camera;  // no schemes offered
    ASSERT_TRUE(camera.Start());
    const auto answer =
        HttpGet(camera.Port(), "/cgi-bin/PtzConfig.cgi?Action=Get", BasicHeader("who", "ever"));
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, 200);
    ASSERT_EQ(camera.Requests().size(), 1u);
    EXPECT_EQ(camera.Requests()[0].auth, AuthScheme::kBasic);
}

TEST(CameraCgiTest, LoginCheckComparesDecodedCredentials) {
    Config config = BasicConfig();
    config.user = "op er";
    config.password = "p&w +%";
    Camera camera(config);
    ASSERT_TRUE(camera.Start());
    const std::string auth = BasicHeader("op er", "p&w +%");
    auto login = [&](const std::string& query) {
        const auto answer =
            HttpGet(camera.Port(), "/cgi-bin/LoginConfig.cgi?Action=Check" + query, auth);
        EXPECT_TRUE(answer);
        return answer ? answer->body : std::string();
    };
    EXPECT_EQ(login("&User=op%20er&Password=p%26w%20%2B%25"), "Valid=0\r\n");
    EXPECT_EQ(login("&User=op%20er&Password=p%26w"), "Valid=1\r\n");
    EXPECT_EQ(login("&User=op%20er"), "Valid=1\r\n");

    config.loginBody = "Valid=2\r\n";
    camera.SetConfig(config);
    EXPECT_EQ(login("&User=op%20er&Password=p%26w%20%2B%25"), "Valid=2\r\n");
}

TEST(CameraCgiTest, CapabilityListDefaultsOptionsAndOverride) {
    Config config = BasicConfig();
    Camera camera(config);
    ASSERT_TRUE(camera.Start());
    auto capabilities = [&] {
        const auto answer = HttpGet(camera.Port(), "/cgi-bin/CapabilityConfig.cgi", Auth());
        EXPECT_TRUE(answer);
        return answer ? answer->body : std::string();
    };
    EXPECT_EQ(capabilities(),
              "ProductID=HD2100\r\nAudioNum=1\r\nVideoNum=1\r\nInPutPin=1\r\nOutPutPin=1\r\n"
              "HD=0\r\nVersion=2.4.1\r\n");

    config.hd = true;
    config.capabilities.productId.reset();
    config.capabilities.inputPins = 4;
    config.capabilities.version = "";
    camera.SetConfig(config);
    EXPECT_EQ(capabilities(),
              "AudioNum=1\r\nVideoNum=1\r\nInPutPin=4\r\nOutPutPin=1\r\nHD=1\r\nVersion=\r\n");

    config.capabilityBody = "ProductID = X\r\nProductID=Y\r\nHD\r\n" + std::string(100000, 'z');
    camera.SetConfig(config);
    EXPECT_EQ(capabilities(), *config.capabilityBody);
}

TEST(CameraCgiTest, PtzRequestsAndPresetsAreAnsweredAndRemembered) {
    Camera camera(BasicConfig());
    ASSERT_TRUE(camera.Start());
    const uint16_t port = camera.Port();
    auto get = [&](const std::string& target) {
        const auto answer = HttpGet(port, target, Auth());
        EXPECT_TRUE(answer) << target;
        return answer ? *answer : Response{};
    };
    const Response probe = get("/cgi-bin/PtzConfig.cgi?Action=Get");
    EXPECT_EQ(probe.status, 200);
    EXPECT_NE(probe.body.find("="), std::string::npos);

    const std::string move = "/cgi-bin/PtzConfig.cgi?Action=Set&Move=Left&Speed=9";
    EXPECT_EQ(get(move).body, "OK\r\n");
    EXPECT_EQ(get("/cgi-bin/PtzConfig.cgi?Action=Set&Path=1&Command=255,1,0,12,63,63,139").status,
              200);
    EXPECT_EQ(get("/cgi-bin/PtzConfig.cgi?Action=Set&Move=PresetSet&PresetNo=1&PresetName=preset1")
                  .status,
              200);
    EXPECT_EQ(get("/cgi-bin/PtzConfig.cgi?Action=Set&Move=PresetSet&PresetNo=3&PresetName=preset3")
                  .status,
              200);
    EXPECT_EQ(get("/cgi-bin/PtzConfig.cgi?Action=Set&Move=PresetCall&PresetNo=3").status, 200);
    EXPECT_EQ(get("/cgi-bin/PtzConfig.cgi?Action=Set&Move=PresetClear&PresetNo=1").status, 200);
    EXPECT_EQ(camera.Presets(), (std::map<int, std::string>{{3, "preset3"}}));

    EXPECT_EQ(get("/cgi-bin/PtzConfig.cgi?Action=Set&Move=PresetSet&PresetNo=0").status, 400);
    EXPECT_EQ(get("/cgi-bin/PtzConfig.cgi?Action=Set&Move=PresetSet&PresetNo=1x").status, 400);
    EXPECT_EQ(get("/cgi-bin/PtzConfig.cgi?Action=Bogus").status, 400);
    EXPECT_EQ(get("/cgi-bin/NoSuch.cgi").status, 404);
    EXPECT_TRUE(camera.WaitForRequestCount("/cgi-bin/PtzConfig.cgi?Action=Set", 8, 10s));
    EXPECT_EQ(camera.Requests()[1].target, move);
}

TEST(CameraCgiTest, AvConfigIsStoredForTheNextStream) {
    Camera camera(BasicConfig());
    ASSERT_TRUE(camera.Start());
    EXPECT_EQ(camera.PendingStreamConfig().width, 704);
    const auto answer = HttpGet(camera.Port(),
                                "/cgi-bin/AVConfig.cgi?Action=Set&FrameRate=25&IFrameInterval=25"
                                "&VideoQuality=1&BitRate=3072&RateControlMode=2&VideoResolution=4",
                                Auth());
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, 200);
    EXPECT_FALSE(answer->body.empty());
    const StreamConfig pending = camera.PendingStreamConfig();
    EXPECT_EQ(pending.width, 352);
    EXPECT_EQ(pending.height, 288);
    EXPECT_EQ(pending.bitRateKbps, 3072);
    EXPECT_FALSE(camera.LastStreamConfig().has_value());

    const auto readBack = HttpGet(camera.Port(), "/cgi-bin/AVConfig.cgi?Action=Get", Auth());
    ASSERT_TRUE(readBack);
    EXPECT_NE(readBack->body.find("VideoResolution=4\r\n"), std::string::npos);
}

TEST(CameraHttpTest, KeepAliveServesSeveralRequestsOnOneConnection) {
    Camera camera(BasicConfig());
    ASSERT_TRUE(camera.Start());
    RawConnection c(camera.Port());
    ASSERT_TRUE(c.Connected());
    // Two pipelined requests, then a third after the answers.
    ASSERT_TRUE(c.Send(GetRequest("/cgi-bin/CapabilityConfig.cgi", Auth()) +
                       GetRequest("/cgi-bin/PtzConfig.cgi?Action=Get", Auth())));
    for (int i = 0; i < 2; ++i) {
        const auto answer = ReadResponse(c, Clock::now() + 10s);
        ASSERT_TRUE(answer);
        EXPECT_EQ(answer->status, 200);
        EXPECT_NE(answer->head.find("Connection: keep-alive"), std::string::npos);
    }
    ASSERT_TRUE(c.Send(GetRequest("/nothing", Auth())));
    const auto missing = ReadResponse(c, Clock::now() + 10s);
    ASSERT_TRUE(missing);
    EXPECT_EQ(missing->status, 404);
    EXPECT_EQ(camera.GetStats().connectionsAccepted, 1u);

    ASSERT_TRUE(
        c.Send(GetRequest("/cgi-bin/CapabilityConfig.cgi", Auth() + "Connection: close\r\n")));
    ASSERT_TRUE(ReadResponse(c, Clock::now() + 10s));
    EXPECT_TRUE(c.WaitClosed(Clock::now() + 10s));
}

TEST(CameraHttpTest, OversizedOrMalformedRequestsAreAnsweredAndClosed) {
    Config config = BasicConfig();
    config.maxHeaderBytes = 1024;
    Camera camera(config);
    ASSERT_TRUE(camera.Start());
    {
        RawConnection c(camera.Port());
        ASSERT_TRUE(c.Send("GET / HTTP/1.1\r\nX-Big: " + std::string(4000, 'a') + "\r\n\r\n"));
        const auto answer = ReadResponse(c, Clock::now() + 10s);
        ASSERT_TRUE(answer);
        EXPECT_EQ(answer->status, 431);
        EXPECT_TRUE(c.WaitClosed(Clock::now() + 10s));
    }
    {
        RawConnection c(camera.Port());
        ASSERT_TRUE(c.Send("BROKEN\r\n\r\n"));
        const auto answer = ReadResponse(c, Clock::now() + 10s);
        ASSERT_TRUE(answer);
        EXPECT_EQ(answer->status, 400);
    }
    {
        const auto post = HttpGet(camera.Port(), "/cgi-bin/CapabilityConfig.cgi",
                                  Auth() + "Content-Length: 99999999\r\n");
        ASSERT_TRUE(post);
        EXPECT_EQ(post->status, 413);
    }
    // The camera still serves normal requests.
    const auto ok = HttpGet(camera.Port(), "/cgi-bin/CapabilityConfig.cgi", Auth());
    ASSERT_TRUE(ok);
    EXPECT_EQ(ok->status, 200);
}

TEST(CameraFaultTest, Endless401AndErrorStatusForAPathPrefix) {
    Camera camera(BasicConfig());
    ASSERT_TRUE(camera.Start());
    camera.UpdateFaults([](Faults& f) { f.endless401 = true; });
    const auto refused = HttpGet(camera.Port(), "/cgi-bin/CapabilityConfig.cgi", Auth());
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->status, 401);
    EXPECT_NE(refused->head.find("WWW-Authenticate: Basic"), std::string::npos);
    const CurlResult curl =
        CurlGet(camera.Url() + "/cgi-bin/CapabilityConfig.cgi", "admin", "s3cret", CURLAUTH_BASIC);
    EXPECT_EQ(curl.status, 401);

    Faults faults;
    faults.errorPathPrefix = "/cgi-bin/AVConfig";
    faults.errorStatus = 503;
    camera.SetFaults(faults);
    const auto failed =
        HttpGet(camera.Port(), "/cgi-bin/AVConfig.cgi?Action=Set&FrameRate=5", Auth());
    ASSERT_TRUE(failed);
    EXPECT_EQ(failed->status, 503);
    EXPECT_EQ(camera.PendingStreamConfig().frameRate, 25);  // not applied
    const auto other = HttpGet(camera.Port(), "/cgi-bin/CapabilityConfig.cgi", Auth());
    ASSERT_TRUE(other);
    EXPECT_EQ(other->status, 200);
    EXPECT_EQ(camera.Requests().back().status, 200);
    EXPECT_EQ(camera.Requests()[camera.Requests().size() - 2].status, 503);
}

TEST(CameraFaultTest, RefusedConnectionsAreClosedWithoutAnAnswer) {
    Camera camera(BasicConfig());
    ASSERT_TRUE(camera.Start());
    camera.UpdateFaults([](Faults& f) { f.refuseConnections = true; });
    RawConnection c(camera.Port());
    c.Send(GetRequest("/cgi-bin/CapabilityConfig.cgi", Auth()));
    EXPECT_TRUE(c.WaitClosed(Clock::now() + 10s));
    EXPECT_TRUE(c.Buffered().empty());
    EXPECT_TRUE(camera.Requests().empty());

    camera.UpdateFaults([](Faults& f) { f.refuseConnections = false; });
    const auto ok = HttpGet(camera.Port(), "/cgi-bin/CapabilityConfig.cgi", Auth());
    ASSERT_TRUE(ok);
    EXPECT_EQ(ok->status, 200);
}

TEST(CameraFaultTest, DelayedAnswersArriveLateAndDoNotHoldUpStop) {
    Camera camera(BasicConfig());
    ASSERT_TRUE(camera.Start());
    camera.UpdateFaults([](Faults& f) { f.cgiDelayMs = 400; });
    RawConnection c(camera.Port());
    ASSERT_TRUE(c.Send(GetRequest("/cgi-bin/CapabilityConfig.cgi", Auth())));
    // Nothing within the first 100 ms (the delay only makes the answer later, never earlier).
    c.Fill(Clock::now() + 100ms);
    EXPECT_TRUE(c.Buffered().empty());
    const auto answer = ReadResponse(c, Clock::now() + 10s);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, 200);

    // A client that gives up during the delay, and a Stop during another delay.
    camera.UpdateFaults([](Faults& f) { f.cgiDelayMs = 60000; });
    {
        RawConnection quitter(camera.Port());
        ASSERT_TRUE(quitter.Send(GetRequest("/cgi-bin/CapabilityConfig.cgi", Auth())));
    }
    RawConnection waiting(camera.Port());
    ASSERT_TRUE(waiting.Send(GetRequest("/cgi-bin/CapabilityConfig.cgi", Auth())));
    ASSERT_TRUE(
        camera.WaitForStats([](const Stats& s) { return s.connectionsAccepted >= 3; }, 10s));
    ExpectStopReturns(camera);
    EXPECT_TRUE(waiting.WaitClosed(Clock::now() + 10s));
}

TEST(CameraRecordsTest, WaitForSeesRequestsFromOtherThreadsAndTimesOut) {
    Camera camera(BasicConfig());
    ASSERT_TRUE(camera.Start());
    EXPECT_FALSE(camera.WaitForRequestCount("/cgi-bin/", 1, 20ms));
    std::thread client([port = camera.Port()] {
        for (int i = 0; i < 3; ++i) HttpGet(port, "/cgi-bin/PtzConfig.cgi?Action=Get", Auth());
    });
    EXPECT_TRUE(camera.WaitForRequestCount("/cgi-bin/PtzConfig.cgi", 3, 10s));
    client.join();
    const auto records = camera.Requests();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].method, "GET");
    EXPECT_EQ(records[0].Path(), "/cgi-bin/PtzConfig.cgi");
    EXPECT_LE(records[0].received, records[2].received);
    camera.ClearRequests();
    EXPECT_TRUE(camera.Requests().empty());
}

}  // namespace
}  // namespace zarncam
