// The remote camera (zarncam_remote) against the built `zarncam control`: the path the Windows
// test builds take, driven natively. The suite starts the control server once, on a free port,
// and points ZARNCAM_CONTROL at it.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>

#include "camsim.h"
#include "camsim_json.h"
#include "camsim_test_client.h"
#include "h264_check.h"
#include "socket_compat.h"

namespace {

using namespace std::chrono_literals;
using zarncam::testing::BasicHeader;
using zarncam::testing::Clock;
using zarncam::testing::HttpGet;
using zarncam::testing::RawConnection;

// A `zarncam control` child process; killed with the test process (and by the destructor).
class ControlProcess {
public:
    ControlProcess() {
        int out[2];
        if (::pipe(out) != 0) return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            ::dup2(out[1], STDOUT_FILENO);
            ::close(out[0]);
            ::close(out[1]);
            ::execl(ZARNCAM_PATH, ZARNCAM_PATH, "control", "--port", "0",
                    static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(out[1]);
        // "zarncam control server listening on port N"
        std::string text;
        const auto deadline = Clock::now() + 10s;
        while (pid_ > 0 && text.find('\n') == std::string::npos && Clock::now() < deadline) {
            pollfd pfd{out[0], POLLIN, 0};
            if (::poll(&pfd, 1, 100) <= 0) continue;
            char buffer[256];
            const ssize_t n = ::read(out[0], buffer, sizeof(buffer));
            if (n <= 0) break;
            text.append(buffer, static_cast<size_t>(n));
        }
        ::close(out[0]);
        const size_t at = text.find("port ");
        if (at != std::string::npos)
            port_ = static_cast<uint16_t>(std::atoi(text.c_str() + at + 5));
    }
    ~ControlProcess() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }

    uint16_t Port() const { return port_; }
    std::string Address() const { return "127.0.0.1:" + std::to_string(port_); }

    // Sends SIGTERM and waits up to `limit` for the exit; the exit status, or nullopt.
    std::optional<int> Terminate(std::chrono::milliseconds limit) {
        ::kill(pid_, SIGTERM);
        const auto deadline = Clock::now() + limit;
        while (Clock::now() < deadline) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            std::this_thread::sleep_for(10ms);
        }
        return std::nullopt;
    }

private:
    pid_t pid_ = -1;
    uint16_t port_ = 0;
};

using nlohmann::json;

// One request line on a raw control connection; the answer (null when none came).
json Ask(RawConnection& control, const std::string& request) {
    if (!control.Send(request + "\n")) return nullptr;
    const auto end = control.WaitFor("\n", Clock::now() + 10s);
    return end ? json::parse(control.Take(*end), nullptr, false) : json(nullptr);
}

// Creates and starts a camera on a raw control connection; its port, 0 on failure.
uint16_t StartRawCamera(RawConnection& control, int64_t* id) {
    const json created = Ask(control, R"({"op":"create","seq":7})");
    if (created.value("seq", 0) != 7 || !created.contains("camera")) return 0;
    *id = created["camera"].get<int64_t>();
    const json started = Ask(control, json{{"op", "start"}, {"camera", *id}}.dump());
    return started.value("started", false) ? started["port"].get<uint16_t>() : 0;
}

// A loopback port on which nothing listens.
uint16_t ClosedPort() {
    const auto s = zarncam::net::BindLoopback(0, 0);
    const uint16_t port = zarncam::net::BoundPort(s);
    zarncam::net::Close(s);
    return port;
}

// True once nothing accepts connections on the port any more.
bool PortClosesWithin(uint16_t port, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    while (Clock::now() < deadline) {
        if (!RawConnection(port).Connected()) return true;
        std::this_thread::sleep_for(20ms);
    }
    return false;
}

class RemoteCameraTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        server_ = new ControlProcess();
        ::setenv("ZARNCAM_CONTROL", server_->Address().c_str(), 1);
    }
    static void TearDownTestSuite() {
        delete server_;
        server_ = nullptr;
    }
    void SetUp() override { ASSERT_NE(server_->Port(), 0) << "zarncam control did not start"; }

    static zarncam::Config BasicConfig() {
        zarncam::Config config;
        config.user = "admin";
        config.password = "secret";
        config.auth = {zarncam::AuthScheme::kBasic};
        return config;
    }

    static ControlProcess* server_;
};

ControlProcess* RemoteCameraTest::server_ = nullptr;

TEST_F(RemoteCameraTest, CgiRequestsAreAuthenticatedAndRecordedOnTheLocalClock) {
    zarncam::Camera camera(BasicConfig());
    const auto before = Clock::now();
    ASSERT_TRUE(camera.Start());
    EXPECT_TRUE(camera.Running());
    ASSERT_NE(camera.Port(), 0);
    EXPECT_EQ(camera.Url(), "http://127.0.0.1:" + std::to_string(camera.Port()));

    const std::string target = "/cgi-bin/CapabilityConfig.cgi?Action=Get";
    const auto refused = HttpGet(camera.Port(), target);
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->status, 401);
    std::this_thread::sleep_for(30ms);
    const auto accepted = HttpGet(camera.Port(), target, BasicHeader("admin", "secret"));
    ASSERT_TRUE(accepted);
    EXPECT_EQ(accepted->status, 200);
    EXPECT_NE(accepted->body.find("ProductID=HD2100"), std::string::npos);
    const auto after = Clock::now();

    const auto records = camera.Requests();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].target, target);
    EXPECT_EQ(records[0].Path(), "/cgi-bin/CapabilityConfig.cgi");
    EXPECT_EQ(records[0].status, 401);
    EXPECT_EQ(records[0].auth, zarncam::AuthScheme::kNone);
    EXPECT_EQ(records[1].status, 200);
    EXPECT_EQ(records[1].auth, zarncam::AuthScheme::kBasic);
    // Receive times keep their spacing and land between the local time points around them
    // (give or take the clock matching, which is as exact as one round trip to the server).
    EXPECT_GE(records[1].received - records[0].received, 25ms);
    EXPECT_GE(records[0].received, before - 50ms);
    EXPECT_LE(records[1].received, after + 50ms);

    camera.ClearRequests();
    EXPECT_TRUE(camera.Requests().empty());

    zarncam::Config changed = camera.GetConfig();
    EXPECT_EQ(changed.password, "secret");
    changed.capabilities.productId = "HD9000";
    changed.loginBody = "Valid=7\r\n";
    camera.SetConfig(changed);
    const auto config = camera.GetConfig();
    EXPECT_EQ(config.capabilities.productId, "HD9000");
    EXPECT_EQ(config.loginBody, "Valid=7\r\n");
    EXPECT_FALSE(config.ptzGetBody.has_value());
    const auto again = HttpGet(camera.Port(), target, BasicHeader("admin", "secret"));
    ASSERT_TRUE(again);
    EXPECT_NE(again->body.find("ProductID=HD9000"), std::string::npos);

    camera.Stop();
    EXPECT_FALSE(camera.Running());
    EXPECT_EQ(camera.Port(), 0);
}

TEST_F(RemoteCameraTest, FaultsAreReadChangedAndWrittenBack) {
    zarncam::Camera camera(BasicConfig());
    ASSERT_TRUE(camera.Start());
    camera.UpdateFaults([](zarncam::Faults& f) {
        f.errorPathPrefix = "/cgi-bin/PtzConfig.cgi";
        f.errorStatus = 503;
    });
    const auto failed =
        HttpGet(camera.Port(), "/cgi-bin/PtzConfig.cgi?Action=Get", BasicHeader("admin", "secret"));
    ASSERT_TRUE(failed);
    EXPECT_EQ(failed->status, 503);

    // A second change keeps the first: UpdateFaults starts from the camera's current faults.
    camera.UpdateFaults([](zarncam::Faults& f) { f.endless401 = true; });
    const zarncam::Faults faults = camera.GetFaults();
    EXPECT_TRUE(faults.endless401);
    EXPECT_EQ(faults.errorPathPrefix, "/cgi-bin/PtzConfig.cgi");
    EXPECT_EQ(faults.errorStatus, 503);
    const auto endless =
        HttpGet(camera.Port(), "/cgi-bin/CapabilityConfig.cgi", BasicHeader("admin", "secret"));
    ASSERT_TRUE(endless);
    EXPECT_EQ(endless->status, 401);

    camera.SetFaults({});
    EXPECT_FALSE(camera.GetFaults().endless401);
}

TEST_F(RemoteCameraTest, WaitsPollTheServerAndTimeOut) {
    zarncam::Camera camera(BasicConfig());
    ASSERT_TRUE(camera.Start());

    const auto start = Clock::now();
    EXPECT_FALSE(camera.WaitFor([](const auto& records) { return !records.empty(); }, 200ms));
    const auto waited = Clock::now() - start;
    EXPECT_GE(waited, 200ms);
    EXPECT_LT(waited, 2s);

    std::thread client([&camera] {
        std::this_thread::sleep_for(100ms);
        HttpGet(camera.Port(),
                "/cgi-bin/PtzConfig.cgi?Action=Set&Move=PresetSet&PresetNo=3"
                "&PresetName=door",
                BasicHeader("admin", "secret"));
    });
    EXPECT_TRUE(camera.WaitForRequestCount("/cgi-bin/PtzConfig.cgi", 1, 10s));
    client.join();
    EXPECT_TRUE(camera.WaitForStats(
        [](const zarncam::Stats& s) { return s.connectionsAccepted >= 1; }, 5s));
    EXPECT_EQ(camera.Presets(), (std::map<int, std::string>{{3, "door"}}));
    EXPECT_FALSE(camera.LastStreamConfig().has_value());
    EXPECT_EQ(camera.PendingStreamConfig().width, 704);
}

TEST_F(RemoteCameraTest, StreamedPicturesPassTheServersH264Check) {
    zarncam::Camera camera(zarncam::Config{});
    ASSERT_TRUE(camera.Start());
    zarncam::testing::StreamReader reader(camera.Port());
    ASSERT_TRUE(reader.Ok()) << reader.Head();
    zarncam::testing::NalAssembler nals;
    const auto deadline = Clock::now() + 20s;
    while (nals.Nals().size() < 12 && Clock::now() < deadline) {
        const auto payload = reader.NextPayload(deadline);
        ASSERT_TRUE(payload);
        ASSERT_TRUE(nals.Add(*payload));
    }
    EXPECT_TRUE(
        camera.WaitForStats([](const zarncam::Stats& s) { return s.framesSent >= 5; }, 10s));
    ASSERT_TRUE(camera.LastStreamConfig().has_value());
    EXPECT_EQ(camera.LastStreamConfig()->height, 576);

    const std::string annexB = zarncam::testing::AnnexB(nals.Nals());
    const std::vector<uint8_t> stream(annexB.begin(), annexB.end());
    const auto good = zarncam::CheckH264Stream(stream, 704, 576);
    EXPECT_GE(good.pictures, 5);
    EXPECT_EQ(good.errors, 0);
    EXPECT_TRUE(good.sizeMatches);
    EXPECT_FALSE(zarncam::CheckH264Stream(stream, 352, 288).sizeMatches);
}

TEST_F(RemoteCameraTest, CamerasBelongToTheirConnectionAndEndWithIt) {
    uint16_t port = 0;
    {
        zarncam::Camera camera(BasicConfig());
        ASSERT_TRUE(camera.Start());
        port = camera.Port();
    }
    EXPECT_TRUE(PortClosesWithin(port, 3s)) << "destroying the Camera left it running";

    // Bad requests get error answers and leave the connection usable.
    RawConnection control(server_->Port());
    ASSERT_TRUE(control.Connected());
    EXPECT_EQ(Ask(control, R"({"op":"create","config":{"maxPayload":3}})").value("ok", true),
              false);
    EXPECT_EQ(Ask(control, "not json").value("ok", true), false);
    EXPECT_EQ(Ask(control, R"({"op":"start","camera":999999})").value("error", ""),
              "no such camera");
    int64_t id = 0;
    port = StartRawCamera(control, &id);
    ASSERT_NE(port, 0);
    ASSERT_TRUE(HttpGet(port, "/cgi-bin/CapabilityConfig.cgi"));

    RawConnection other(server_->Port());
    EXPECT_EQ(Ask(other, json{{"op", "stats"}, {"camera", id}}.dump()).value("error", ""),
              "no such camera");

    control.Close();
    EXPECT_TRUE(PortClosesWithin(port, 3s)) << "the camera outlived its connection";
}

TEST_F(RemoteCameraTest, StartFailsWithAMessageWhenTheServerIsUnreachable) {
    const std::string address = server_->Address();
    ::setenv("ZARNCAM_CONTROL", ("127.0.0.1:" + std::to_string(ClosedPort())).c_str(), 1);
    {
        ::testing::internal::CaptureStderr();
        zarncam::Camera camera;
        EXPECT_FALSE(camera.Start());
        EXPECT_EQ(camera.Port(), 0);
        EXPECT_TRUE(camera.Requests().empty());
        const std::string message = ::testing::internal::GetCapturedStderr();
        EXPECT_NE(message.find("ZARNCAM_CONTROL"), std::string::npos) << message;
    }
    ::unsetenv("ZARNCAM_CONTROL");
    {
        ::testing::internal::CaptureStderr();
        zarncam::Camera camera;
        EXPECT_FALSE(camera.Start());
        const std::string message = ::testing::internal::GetCapturedStderr();
        EXPECT_NE(message.find("ZARNCAM_CONTROL is not set"), std::string::npos) << message;
    }
    ::setenv("ZARNCAM_CONTROL", address.c_str(), 1);
}

TEST(CamsimJsonTest, ConfigRoundTripKeepsOptionalsAndRejectsOutOfRange) {
    zarncam::Config config;
    config.auth = {zarncam::AuthScheme::kDigest, zarncam::AuthScheme::kBasic};
    config.capabilities.productId.reset();
    config.capabilities.hd = true;
    config.ptzGetBody = "";
    config.framePeriodMs = 80;
    config.loopSeconds = 4;
    config.chaosSeed = 7;
    const zarncam::Config back = json(config).get<zarncam::Config>();
    EXPECT_EQ(back.framePeriodMs, 80);
    EXPECT_EQ(back.loopSeconds, 4);
    EXPECT_EQ(back.chaosSeed, std::optional<uint64_t>(7));
    EXPECT_EQ(back.auth, config.auth);
    EXPECT_FALSE(back.capabilities.productId.has_value());
    EXPECT_EQ(back.capabilities.hd, std::optional<bool>(true));
    EXPECT_EQ(back.ptzGetBody, std::optional<std::string>(""));
    EXPECT_FALSE(back.loginBody.has_value());

    EXPECT_THROW(json::parse(R"({"port": 70000})").get<zarncam::Config>(), std::exception);
    EXPECT_THROW(json::parse(R"({"auth": ["ntlm"]})").get<zarncam::Config>(), std::exception);
    EXPECT_THROW(json::parse(R"({"cgiDelayMs": -1})").get<zarncam::Faults>(), std::exception);
    EXPECT_THROW(json::parse(R"({"stall": 1})").get<zarncam::Faults>(), std::exception);
    EXPECT_THROW(json::parse(R"("stall")").get<zarncam::Faults>(), std::exception);
}

TEST(CamsimJsonTest, Base64RoundTripsEveryPaddingAndRejectsDamage) {
    const std::string bytes("\0\xff\x10\x80zq", 6);
    for (size_t n = 0; n <= bytes.size(); ++n) {
        std::vector<uint8_t> out;
        ASSERT_TRUE(zarncam::Base64Decode(zarncam::Base64Encode(bytes.substr(0, n)), 64, &out));
        EXPECT_EQ(std::string(out.begin(), out.end()), bytes.substr(0, n));
    }
    EXPECT_EQ(zarncam::Base64Encode("ab"), "YWI=");
    std::vector<uint8_t> out;
    EXPECT_FALSE(zarncam::Base64Decode("YWI", 64, &out));       // not a multiple of four
    EXPECT_FALSE(zarncam::Base64Decode("Y=WI", 64, &out));      // padding inside
    EXPECT_FALSE(zarncam::Base64Decode("YW=I", 64, &out));      // padding before data
    EXPECT_FALSE(zarncam::Base64Decode("YWI=YWI=", 64, &out));  // padding not at the end
    EXPECT_FALSE(zarncam::Base64Decode("YW!=", 64, &out));
    EXPECT_FALSE(zarncam::Base64Decode("YWJj", 2, &out));  // longer than allowed
}

TEST(ControlServerProcessTest, StopsPromptlyOnSigtermWithCamerasRunning) {
    ControlProcess server;
    ASSERT_NE(server.Port(), 0);
    RawConnection control(server.Port());
    int64_t id = 0;
    const uint16_t port = StartRawCamera(control, &id);
    ASSERT_NE(port, 0);
    zarncam::testing::StreamReader stream(port);
    ASSERT_TRUE(stream.Ok());
    const auto start = Clock::now();
    EXPECT_EQ(server.Terminate(3s), std::optional<int>(0));
    EXPECT_LT(Clock::now() - start, 2s);
}

}  // namespace
