#include "http/hutils.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "camsim.h"
#include "local_http_server.h"
#include "support/fake_driver.h"

namespace {

using httptest::LocalHttpServer;
using talvane::CResultDef;

talvane::DEVICE_INFO Device(uint16_t port, std::string password = "admin",
                            int32_t timeoutMs = 2000) {
    talvane::DEVICE_INFO device;
    device.requestTimeoutMs = timeoutMs;
    device.noDataTimeoutMs = timeoutMs;
    device.address = "127.0.0.1";
    device.port = port;
    device.user = "admin";
    device.password = std::move(password);
    return device;
}

std::string Where(uint16_t port) {
    return "127.0.0.1:" + std::to_string(port);
}

std::string CString(const std::vector<uint8_t>& body) {
    EXPECT_FALSE(body.empty());
    if (body.empty()) return std::string();
    EXPECT_EQ(body.back(), 0);
    return std::string(reinterpret_cast<const char*>(body.data()));
}

class RequestTest : public ::testing::Test {
protected:
    void SetUp() override { Start(zarncam::Config{}); }
    void Start(zarncam::Config config) {
        camera_ = std::make_unique<zarncam::Camera>(std::move(config));
        ASSERT_TRUE(camera_->Start());
        sender_ = std::make_unique<Web::CHttpSender>(Device(camera_->Port()));
    }
    void FailPaths(const std::string& prefix, int status) {
        camera_->UpdateFaults([&](zarncam::Faults& f) {
            f.errorPathPrefix = prefix;
            f.errorStatus = status;
        });
    }

    std::unique_ptr<zarncam::Camera> camera_;
    std::unique_ptr<Web::CHttpSender> sender_;
    std::vector<uint8_t> body_;
};

TEST_F(RequestTest, SuccessHandsBackTheBodyAsACString) {
    const CResultDef result =
        HUtils::RequestGetRD(body_, *sender_, "/cgi-bin/PtzConfig.cgi?Action=Get", true);
    EXPECT_EQ(result.code, 0);
    EXPECT_EQ(result.level, 3);
    EXPECT_TRUE(result.message.empty());
    EXPECT_EQ(HUtils::GetValue("PresetNum", "=", CString(body_), "\r\n"), "32");

    // Without reading, the body stays empty; every function closes its request, so the one
    // connection carries them all.
    EXPECT_TRUE(HUtils::SendCgi(*sender_, "/cgi-bin/PtzConfig.cgi?Action=Set&Move=Stop"));
    EXPECT_TRUE(HUtils::SendCgi(*sender_, "/cgi-bin/PtzConfig.cgi?Action=Set&Move=Stop"));
    EXPECT_TRUE(HUtils::RequestGetRD(body_, *sender_, "/cgi-bin/CapabilityConfig.cgi", false).Ok());
    EXPECT_TRUE(body_.empty());
    EXPECT_TRUE(HUtils::GetBody(body_, *sender_, "/cgi-bin/CapabilityConfig.cgi"));
    EXPECT_EQ(HUtils::GetValue("ProductID", "=", CString(body_), "\r\n"), "HD2100");
    EXPECT_EQ(camera_->GetStats().connectionsAccepted, 1u);
    EXPECT_EQ(camera_->Requests().size(), 5u);
}

TEST_F(RequestTest, StatusOutside2xxIsCode6WithTheStatus) {
    for (const int status : {302, 404, 500}) {
        FailPaths("/cgi-bin/PtzConfig.cgi", status);
        const CResultDef result =
            HUtils::RequestGetRD(body_, *sender_, "/cgi-bin/PtzConfig.cgi?Action=Get", true);
        EXPECT_EQ(result.code, 6) << status;
        EXPECT_EQ(result.level, 1) << status;
        EXPECT_EQ(result.message, "talvane::HUtils::RequestGetRD: " + Where(camera_->Port()) +
                                      " sent does not process request "
                                      "\"/cgi-bin/PtzConfig.cgi?Action=Get\", status code = " +
                                      std::to_string(status));
        EXPECT_TRUE(body_.empty());
        EXPECT_FALSE(HUtils::SendCgi(*sender_, "/cgi-bin/PtzConfig.cgi?Action=Set&Move=Up"));
        EXPECT_FALSE(HUtils::GetBody(body_, *sender_, "/cgi-bin/PtzConfig.cgi?Action=Get"));
        EXPECT_TRUE(body_.empty());
    }
}

TEST_F(RequestTest, A401AfterTheSchemeWasLearnedIsCode6) {
    zarncam::Config config;
    config.auth = {zarncam::AuthScheme::kDigest};
    config.password = "not-ours";
    Start(config);
    const CResultDef result = HUtils::RequestGetRD(body_, *sender_, "/cgi-bin/Any.cgi", false);
    EXPECT_EQ(result.code, 6);
    EXPECT_NE(result.message.find("status code = 401"), std::string::npos) << result.message;
}

TEST_F(RequestTest, EmptyBodyIsCode10WithOneNulByte) {
    zarncam::Config config;
    config.capabilityBody = "";
    Start(config);
    const CResultDef result =
        HUtils::RequestGetRD(body_, *sender_, "/cgi-bin/CapabilityConfig.cgi", true);
    EXPECT_EQ(result.code, 10);
    EXPECT_EQ(result.level, 1);
    EXPECT_EQ(result.message,
              "talvane::HUtils::RequestGetRD: incorrect response for request "
              "\"/cgi-bin/CapabilityConfig.cgi\" from " +
                  Where(camera_->Port()));
    EXPECT_EQ(body_, std::vector<uint8_t>{0});
    EXPECT_FALSE(HUtils::GetBody(body_, *sender_, "/cgi-bin/CapabilityConfig.cgi"));
    // Not read, not judged.
    EXPECT_TRUE(HUtils::SendCgi(*sender_, "/cgi-bin/CapabilityConfig.cgi"));
}

TEST_F(RequestTest, AnswersAreCappedAtOneMebibyte) {
    zarncam::Config config;
    config.capabilityBody = std::string(HUtils::kMaxCgiBody, 'v');
    Start(config);
    EXPECT_TRUE(HUtils::RequestGetRD(body_, *sender_, "/cgi-bin/CapabilityConfig.cgi", true).Ok());
    EXPECT_EQ(body_.size(), HUtils::kMaxCgiBody + 1);
    EXPECT_EQ(body_.back(), 0);
    EXPECT_TRUE(HUtils::GetBody(body_, *sender_, "/cgi-bin/CapabilityConfig.cgi"));
    EXPECT_EQ(body_.size(), HUtils::kMaxCgiBody + 1);

    config.capabilityBody->push_back('v');
    camera_->SetConfig(config);
    const CResultDef result =
        HUtils::RequestGetRD(body_, *sender_, "/cgi-bin/CapabilityConfig.cgi", true);
    EXPECT_EQ(result.code, 10);
    EXPECT_EQ(result.level, 1);
    EXPECT_NE(result.message.find("too long"), std::string::npos) << result.message;
    EXPECT_EQ(body_, std::vector<uint8_t>{0});
    EXPECT_FALSE(HUtils::GetBody(body_, *sender_, "/cgi-bin/CapabilityConfig.cgi"));
    EXPECT_TRUE(body_.empty());
    // The sender is still usable afterwards.
    EXPECT_TRUE(
        HUtils::RequestGetRD(body_, *sender_, "/cgi-bin/PtzConfig.cgi?Action=Get", true).Ok());
}

TEST_F(RequestTest, SendGetLeavesTheRequestOpen) {
    ASSERT_TRUE(HUtils::SendGet(*sender_, "/cgi-bin/PtzConfig.cgi?Action=Get"));
    EXPECT_EQ(sender_->GetStatusCode(), 200u);
    EXPECT_GT(sender_->ReadAll(body_), 0u);
    sender_->CloseRequest();
    EXPECT_FALSE(HUtils::SendGet(*sender_, ""));
}

TEST(RequestNoAnswerTest, SilentCameraIsCode9Level4) {
    {
        SCOPED_TRACE("nothing listens");
        const uint16_t port = httptest::ClosedPort();
        Web::CHttpSender sender(Device(port));
        std::vector<uint8_t> body;
        const CResultDef result = HUtils::RequestGetRD(body, sender, "/cgi-bin/A.cgi?x=1", true);
        EXPECT_EQ(result.code, 9);
        EXPECT_EQ(result.level, 4);
        EXPECT_EQ(result.message,
                  "talvane::HUtils::RequestGetRD: can not send request "
                  "\"/cgi-bin/A.cgi?x=1\" to " +
                      Where(port));
        EXPECT_TRUE(body.empty());
    }
    {
        SCOPED_TRACE("connection accepted, no answer");
        LocalHttpServer server([](LocalHttpServer::Connection& c) {
            if (c.ReadRequest()) c.HoldUntilStopOrClose();
        });
        Web::CHttpSender sender(Device(server.Port(), "admin", 300));
        std::vector<uint8_t> body;
        EXPECT_EQ(HUtils::RequestGetRD(body, sender, "/cgi-bin/A.cgi", true).code, 9);
        EXPECT_FALSE(HUtils::SendCgi(sender, "/cgi-bin/A.cgi"));
    }
}

TEST(RequestNoContentTest, Status204IsSuccess) {
    LocalHttpServer server([](LocalHttpServer::Connection& c) {
        while (c.ReadRequest()) c.Send("HTTP/1.1 204 No Content\r\n\r\n");
    });
    Web::CHttpSender sender(Device(server.Port()));
    std::vector<uint8_t> body;
    const CResultDef result = HUtils::RequestGetRD(body, sender, "/cgi-bin/PtzConfig.cgi", false);
    EXPECT_EQ(result.code, 0);
    EXPECT_TRUE(HUtils::SendCgi(sender, "/cgi-bin/PtzConfig.cgi"));
    EXPECT_FALSE(HUtils::GetBody(body, sender, "/cgi-bin/PtzConfig.cgi"));  // wants exactly 200
    EXPECT_EQ(server.Accepted(), 1);
}

TEST(ShouldLogTest, OneInSixteenThenOneIn256ThenOneIn4096) {
    zarntest::FakeDriver log;
    std::vector<uint32_t> logged;
    for (uint32_t n = 1; n <= 8192; ++n) {
        if (HUtils::ShouldLog(log)) logged.push_back(n);
    }
    auto was = [&](uint32_t n) {
        return std::find(logged.begin(), logged.end(), n) != logged.end();
    };
    for (uint32_t n = 1; n <= 14; ++n) EXPECT_TRUE(was(n)) << n;
    EXPECT_FALSE(was(15));
    EXPECT_TRUE(was(16));
    EXPECT_FALSE(was(17));
    EXPECT_TRUE(was(240));
    EXPECT_FALSE(was(255));
    EXPECT_TRUE(was(256));
    EXPECT_FALSE(was(257));
    EXPECT_TRUE(was(512));
    EXPECT_FALSE(was(3840 + 16));
    EXPECT_TRUE(was(4096));
    EXPECT_FALSE(was(4096 + 256));
    EXPECT_TRUE(was(8192));
    EXPECT_EQ(logged.size(), 14u + 15u + 15u + 2u);
}

TEST(ShouldLogTest, CounterWrapsFrom65535To4095) {
    zarntest::FakeDriver log;
    log.messageCounter = 65533;
    EXPECT_FALSE(HUtils::ShouldLog(log));  // 65534
    EXPECT_FALSE(HUtils::ShouldLog(log));  // 65535 -> 4095
    EXPECT_EQ(log.messageCounter.load(), 4095u);
    EXPECT_TRUE(HUtils::ShouldLog(log));  // 4096
}

TEST(ShouldLogTest, ConcurrentCallersLogAsManyAsOneCallerWould) {
    constexpr int kThreads = 4;
    constexpr int kEach = 3000;
    zarntest::FakeDriver shared;
    std::atomic<int> allowed{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kEach; ++i) {
                if (HUtils::ShouldLog(shared)) ++allowed;
            }
        });
    }
    for (auto& thread : threads) thread.join();

    zarntest::FakeDriver alone;
    int expected = 0;
    for (int i = 0; i < kThreads * kEach; ++i) expected += HUtils::ShouldLog(alone) ? 1 : 0;
    EXPECT_EQ(shared.messageCounter.load(), static_cast<uint32_t>(kThreads * kEach));
    EXPECT_EQ(allowed.load(), expected);
}

TEST_F(RequestTest, QueryCgiLogsFailuresThroughTheThrottle) {
    zarntest::FakeDriver log;
    EXPECT_TRUE(HUtils::QueryCgi(body_, *sender_, &log, "/cgi-bin/PtzConfig.cgi?Action=Get"));
    EXPECT_TRUE(log.Lines().empty());

    for (int i = 0; i < 20; ++i) {
        EXPECT_FALSE(HUtils::QueryCgi(body_, *sender_, &log, "/cgi-bin/Missing.cgi"));
    }
    const auto lines = log.Lines();
    ASSERT_EQ(lines.size(), 15u);  // messages 1..14 and 16
    EXPECT_EQ(lines[0].level, 1);
    EXPECT_EQ(lines[0].text, "talvane::HUtils::RequestGetRD: " + Where(camera_->Port()) +
                                 " sent does not process request \"/cgi-bin/Missing.cgi\", "
                                 "status code = 404");
    EXPECT_FALSE(HUtils::QueryCgi(body_, *sender_, nullptr, "/cgi-bin/Missing.cgi"));
}

TEST_F(RequestTest, CredentialsNeverReachTheMessagesAndNothingElseIsHidden) {
    // A one-character password: hiding every "1" would garble the messages.
    zarncam::Config config;
    config.password = "1";
    Start(config);
    sender_ = std::make_unique<Web::CHttpSender>(Device(camera_->Port(), config.password));
    FailPaths("/cgi-bin/", 500);
    zarntest::FakeDriver log;
    EXPECT_FALSE(HUtils::QueryCgi(body_, *sender_, &log,
                                  "/cgi-bin/LoginConfig.cgi?Action=Check&User=admin&Password=1"));
    const std::string av =
        "/cgi-bin/AVConfig.cgi?Action=Set&FrameRate=1&IFrameInterval=1&VideoQuality=1";
    EXPECT_FALSE(HUtils::QueryCgi(body_, *sender_, &log, av));
    const auto lines = log.Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].text.find("\"/cgi-bin/LoginConfig.cgi?Action=Check&User=***&Password=***\""),
              std::string::npos)
        << lines[0].text;
    EXPECT_NE(lines[1].text.find("\"" + av + "\""), std::string::npos) << lines[1].text;

    EXPECT_EQ(HUtils::RedactObject("/a?pwd=x&UserPass=y&b=2"), "/a?pwd=***&UserPass=***&b=2");
    EXPECT_EQ(HUtils::RedactObject("/a?b=secret1&Password=secret1"), "/a?b=secret1&Password=***");
    EXPECT_EQ(HUtils::RedactObject("/a/no/query"), "/a/no/query");
}

}  // namespace
