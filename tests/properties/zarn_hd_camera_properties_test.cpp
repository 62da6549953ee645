// The camera-properties object against the virtual camera: login check, capability list, resolution
// tables, PTZ probe, and the exact sequence of calls SaveResults makes on the host's result object.
#include "properties/zarn_hd_camera_properties.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "camsim.h"
#include "support/fake_capability.h"
#include "support/test_platform.h"

namespace {

using namespace std::chrono_literals;
using talvane::CZarnHDCameraProperties;
using talvane::DEVICE_INFO;

zarncam::Config CameraConfig() {
    zarncam::Config config;
    config.user = "admin";
    config.password = "s3cret";
    config.auth = {zarncam::AuthScheme::kBasic};
    return config;
}

DEVICE_INFO DeviceFor(const zarncam::Camera& camera, const std::string& user = "admin",
                      const std::string& password = "s3cret") {
    DEVICE_INFO device;
    device.requestTimeoutMs = 10000;
    device.noDataTimeoutMs = 10000;
    device.address = "127.0.0.1";
    device.port = camera.Port();
    device.user = user;
    device.password = password;
    return device;
}

// The frame intervals offered for every size: 1000/i ms for i = 2..25.
const std::vector<std::string> kIntervalCalls = {
    "Interval(500)", "Interval(333)", "Interval(250)", "Interval(200)", "Interval(166)",
    "Interval(142)", "Interval(125)", "Interval(111)", "Interval(100)", "Interval(90)",
    "Interval(83)",  "Interval(76)",  "Interval(71)",  "Interval(66)",  "Interval(62)",
    "Interval(58)",  "Interval(55)",  "Interval(52)",  "Interval(50)",  "Interval(47)",
    "Interval(45)",  "Interval(43)",  "Interval(41)",  "Interval(40)"};

class CameraPropertiesTest : public ::testing::Test {
protected:
    void StartCamera(const zarncam::Config& config) {
        camera_ = std::make_unique<zarncam::Camera>(config);
        ASSERT_TRUE(camera_->Start());
    }

    // Runs GetProperties on a fresh object; returns whether it succeeded, the error code left
    // (starts at -1) and keeps the object for SaveResults.
    bool Query(int& error, int32_t videoStandard = 0) {
        properties_ = std::make_unique<CZarnHDCameraProperties>(DeviceFor(*camera_), videoStandard);
        error = -1;
        return properties_->GetProperties(error);
    }

    std::vector<std::string> TargetsOf(const std::string& path) const {
        std::vector<std::string> targets;
        for (const auto& r : camera_->Requests()) {
            if (r.Path() == path) targets.push_back(r.target);
        }
        return targets;
    }

    std::unique_ptr<zarncam::Camera> camera_;
    std::unique_ptr<CZarnHDCameraProperties> properties_;
};

TEST_F(CameraPropertiesTest, StandardCameraWritesTheWholeDescriptionInOrder) {
    StartCamera(CameraConfig());
    int error = 0;
    ASSERT_TRUE(Query(error, 1));
    EXPECT_EQ(error, -1);  // left as the caller set it
    EXPECT_EQ(properties_->manufacturer, "Zarn");
    EXPECT_EQ(properties_->model, "Zarn HD2100");
    EXPECT_FALSE(properties_->HighDefinition());
    EXPECT_TRUE(properties_->ptzSupported);

    // Login, capability list and PTZ probe, one after another.
    const auto requests = camera_->Requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0].target,
              "/cgi-bin/LoginConfig.cgi?Action=Check&User=admin&Password=s3cret");
    EXPECT_EQ(requests[1].target, "/cgi-bin/CapabilityConfig.cgi");
    EXPECT_EQ(requests[2].target, "/cgi-bin/PtzConfig.cgi?Action=Get");
    for (const auto& r : requests) EXPECT_EQ(r.status, 200) << r.target;

    zarntest::FakeCapabilityResult result;
    ASSERT_TRUE(properties_->SaveResults(&result));

    std::vector<std::string> expected = {"GetFrameIntervalList(1)"};
    expected.insert(expected.end(), kIntervalCalls.begin(), kIntervalCalls.end());
    const std::string port = std::to_string(camera_->Port());
    const std::vector<std::string> rest = {
        "DefaultInterval(40)",
        "SetCapability(11,0)",
        "SetCapability(12,0)",
        "SetModelName(Zarn HD2100)",
        "SetCapability(0,1)",
        "SetCapability(2,1)",
        "SetCapability(3,1)",
        "SetCapability(4,1)",
        "SetCapability(1,1)",
        "SetCapability(11,0)",
        "SetCapability(12,0)",
        "SetCapability(8,1)",
        "GetResolutionList()",
        "Resolution(176x144,176,144,40)",
        "Resolution(352x288,352,288,40)",
        "Resolution(704x288,704,288,40)",
        "Resolution(704x576,704,576,40)",
        "GetConnectionField(1)",
        "ConnectionField(1).SetText(127.0.0.1)",
        "GetConnectionField(2)",
        "ConnectionField(2).SetText(" + port + ")",
        "GetConnectionField(3)",
        "ConnectionField(3).SetText(admin)",
        "GetConnectionField(4)",
        "ConnectionField(4).SetText(s3cret)",
        "GetCustomProperty(1)",
        "Property(1).SetName(Video standard)",
        "Property(1).SetKind(0)",
        "Property(1).SetFlag(0)",
        "Property(1).SetValue(1)",
        "GetCustomProperty(2)",
        "Property(2).SetName(RTSP Port)",
        "Property(2).SetKind(0)",
        "Property(2).SetFlag(0)",
        "Property(2).SetValue(554)",
        "GetCustomProperty(3)",
        "Property(3).SetName(Firmware)",
        "Property(3).SetKind(0)",
        "Property(3).SetFlag(1)",
        "Property(3).SetValue(2.4.1)",
        "GetCustomProperty(4)",
        "Property(4).SetName(HD support)",
        "Property(4).SetKind(0)",
        "Property(4).SetFlag(0)",
        "Property(4).SetValue(0)",
    };
    expected.insert(expected.end(), rest.begin(), rest.end());
    EXPECT_EQ(result.Calls(), expected);
}

TEST_F(CameraPropertiesTest, HighDefinitionCameraOffersTheHdSizesAndNeverPtz) {
    zarncam::Config config = CameraConfig();
    config.hd = true;
    config.capabilities.version = "";
    StartCamera(config);
    int error = 0;
    ASSERT_TRUE(Query(error));
    EXPECT_TRUE(properties_->HighDefinition());
    // The probe was answered, but an HD camera is not reported as PTZ-capable.
    EXPECT_EQ(TargetsOf("/cgi-bin/PtzConfig.cgi").size(), 1u);
    EXPECT_FALSE(properties_->ptzSupported);

    zarntest::FakeCapabilityResult result;
    ASSERT_TRUE(properties_->SaveResults(&result));
    std::vector<std::string> sizes;
    for (const auto& item : result.Resolutions()) {
        EXPECT_EQ(item.intervalMs, 40) << item.text;
        sizes.push_back(item.text + "=" + std::to_string(item.width) + "," +
                        std::to_string(item.height));
    }
    EXPECT_EQ(sizes,
              (std::vector<std::string>{"160x112=160,112", "320x240=320,240", "640x480=640,480",
                                        "1280x720=1280,720", "1600x1200=1600,1200"}));
    EXPECT_EQ(result.Count("SetCapability(1,1)"), 0u);
    EXPECT_EQ(result.CustomProperty(4).value, "1");
    EXPECT_EQ(result.CustomProperty(3).value, "(none)");  // empty firmware version
    EXPECT_EQ(result.CustomProperty(1).value, "0");
}

TEST_F(CameraPropertiesTest, LoginAnswers) {
    struct Case {
        std::optional<std::string> body;  // nullopt: the camera checks the credentials
        std::string password;
        bool accepted;
        int error;
    };
    const std::vector<Case> cases = {
        {std::nullopt, "s3cret", true, -1},
        {std::nullopt, "wrong", false, 1},
        {"Valid=0\r\n", "anything", true, -1},  // the answer decides, not the password
        {"Valid=1\r\n", "s3cret", false, 1},
        {"Valid=2\r\n", "s3cret", false, 3},
        {"Valid=-1\r\n", "s3cret", false, 3},
        {"Hello\r\n", "s3cret", true, -1},                       // no "Valid" line reads as 0
        {"Valid=abc\r\n", "s3cret", true, -1},                   // non-numeric reads as 0
        {"Valid=99999999999999999999\r\n", "s3cret", false, 3},  // saturated, not 1
        {"", "s3cret", false, 3},                                // empty answer
    };
    for (const Case& c : cases) {
        zarncam::Config config = CameraConfig();
        config.auth = {};  // only the login check judges the credentials
        config.loginBody = c.body;
        zarncam::Camera camera(config);
        ASSERT_TRUE(camera.Start());
        CZarnHDCameraProperties properties(DeviceFor(camera, "admin", c.password), 0);
        int error = -1;
        EXPECT_EQ(properties.GetProperties(error), c.accepted) << c.body.value_or("(checked)");
        EXPECT_EQ(error, c.error) << c.body.value_or("(checked)");
        // A rejected login reads nothing else.
        EXPECT_EQ(camera.Requests().size(), c.accepted ? 3u : 1u);
    }
}

TEST_F(CameraPropertiesTest, HttpAuthenticationRejectedIsNotALoginRejection) {
    StartCamera(CameraConfig());  // Basic authentication with the camera's password
    CZarnHDCameraProperties properties(DeviceFor(*camera_, "admin", "wrong"), 0);
    int error = -1;
    EXPECT_FALSE(properties.GetProperties(error));
    EXPECT_EQ(error, 3);
}

TEST_F(CameraPropertiesTest, CredentialsArePercentEncodedInTheLoginRequest) {
    zarncam::Config config = CameraConfig();
    config.user = "ad min&Action=Set";
    config.password = "p%ss#+/\xC3\xA9~-._";
    config.auth = {};  // the credentials travel only in the query string
    StartCamera(config);
    // The host passes its own code page; the camera gets the UTF-8 form of the same text.
    CZarnHDCameraProperties properties(
        DeviceFor(*camera_, config.user, zarntest::HostText(config.password)), 0);
    int error = -1;
    ASSERT_TRUE(properties.GetProperties(error)) << error;
    const auto targets = TargetsOf("/cgi-bin/LoginConfig.cgi");
    ASSERT_EQ(targets.size(), 1u);
    EXPECT_EQ(targets[0],
              "/cgi-bin/LoginConfig.cgi?Action=Check&User=ad%20min%26Action%3DSet"
              "&Password=p%25ss%23%2B%2F%C3%A9~-._");
}

TEST_F(CameraPropertiesTest, CapabilityListValues) {
    struct Case {
        std::string body;
        bool ok;
        std::string model;
        int32_t video, inputs, outputs;
        bool audio, hd;
        std::string firmware;
    };
    const std::vector<Case> cases = {
        {"ProductID=ABC\r\nVideoNum=0\r\nInPutPin=0\r\nOutPutPin=2\r\nAudioNum=0\r\n", true,
         "Zarn ABC", 1, 0, 2, false, false, ""},
        // Without VideoNum the channel count stays 0.
        {"ProductID=X\r\nVersion=1.0\r\n", true, "Zarn X", 0, 0, 0, false, false, "1.0"},
        // Values read like atoi: leading blanks and digits, trailing text ignored.
        {"ProductID=X\r\nVideoNum= 4ch\r\nHD=1x\r\nAudioNum=junk\r\n", true, "Zarn X", 4, 0, 0,
         false, true, ""},
        // Repeated keys: the first line wins. Missing values leave members unchanged.
        {"ProductID=A\r\nProductID=B\r\nInPutPin=3\r\nInPutPin=9\r\nOutPutPin=\r\nVersion=\r\n",
         true, "Zarn A", 0, 3, 0, false, false, ""},
        // Blanks around the equals sign: the name is trimmed, the value kept as it is.
        {"ProductID = P9\r\nVideoNum = 2\r\n", true, "Zarn  P9", 2, 0, 0, false, false, ""},
        // Out-of-range numbers saturate instead of wrapping.
        {"ProductID=X\r\nInPutPin=99999999999\r\n", true, "Zarn X", 0, INT32_MAX, 0, false, false,
         ""},
        // No ProductID, or an empty one: the capability read fails and nothing is taken.
        {"VideoNum=3\r\nVersion=9\r\n", false, "", 0, 0, 0, false, false, ""},
        {"ProductID=\r\nVideoNum=3\r\n", false, "", 0, 0, 0, false, false, ""},
        {"garbage without any line end", false, "", 0, 0, 0, false, false, ""},
    };
    for (const Case& c : cases) {
        zarncam::Config config = CameraConfig();
        config.capabilityBody = c.body;
        zarncam::Camera camera(config);
        ASSERT_TRUE(camera.Start());
        CZarnHDCameraProperties properties(DeviceFor(camera), 0);
        int error = -1;
        ASSERT_EQ(properties.GetProperties(error), c.ok) << c.body;
        EXPECT_EQ(error, c.ok ? -1 : 3) << c.body;
        EXPECT_EQ(properties.model, c.model) << c.body;
        EXPECT_EQ(properties.manufacturer, c.ok ? "Zarn" : "") << c.body;
        EXPECT_EQ(properties.videoChannelCount, c.video) << c.body;
        EXPECT_EQ(properties.inputCount, c.inputs) << c.body;
        EXPECT_EQ(properties.outputCount, c.outputs) << c.body;
        EXPECT_EQ(properties.audioSupported, c.audio) << c.body;
        EXPECT_EQ(properties.HighDefinition(), c.hd) << c.body;
        EXPECT_EQ(properties.Firmware(), c.firmware) << c.body;
        // A failed capability read neither fills resolutions nor probes PTZ.
        EXPECT_EQ(properties.resolutions.size(), c.ok ? (c.hd ? 5u : 4u) : 0u) << c.body;
    }
}

TEST_F(CameraPropertiesTest, ZeroCountsAreNotReported) {
    zarncam::Config config = CameraConfig();
    config.capabilityBody = "ProductID=Z1\r\nInPutPin=0\r\nOutPutPin=0\r\nAudioNum=0\r\n";
    config.ptzGetBody = "";  // empty probe answer: no PTZ
    StartCamera(config);
    int error = 0;
    ASSERT_TRUE(Query(error));
    zarntest::FakeCapabilityResult result;
    ASSERT_TRUE(properties_->SaveResults(&result));
    EXPECT_EQ(result.Capability(0), 0);  // always reported, 0 without VideoNum
    for (int id : {1, 2, 3, 4}) EXPECT_EQ(result.Capability(id), std::nullopt) << id;
}

TEST_F(CameraPropertiesTest, FailedPtzProbeOrCapabilityRequest) {
    zarncam::Config config = CameraConfig();
    StartCamera(config);
    camera_->UpdateFaults([](zarncam::Faults& f) { f.errorPathPrefix = "/cgi-bin/PtzConfig.cgi"; });
    int error = 0;
    ASSERT_TRUE(Query(error));  // the probe never fails the query
    EXPECT_FALSE(properties_->ptzSupported);

    camera_->UpdateFaults([](zarncam::Faults& f) {
        f.errorPathPrefix = "/cgi-bin/CapabilityConfig.cgi";
        f.errorStatus = 204;  // success, but not 200 and without a body
    });
    error = -1;
    EXPECT_FALSE(Query(error));
    EXPECT_EQ(error, 3);
}

TEST_F(CameraPropertiesTest, HugeAnswersAreBounded) {
    zarncam::Config config = CameraConfig();
    // 2 MiB of filler before the product line: more than any CGI answer may hold.
    config.capabilityBody = std::string(2 * 1024 * 1024, 'x') + "\r\nProductID=BIG\r\n";
    StartCamera(config);
    int error = -1;
    EXPECT_FALSE(Query(error));
    EXPECT_EQ(error, 3);
    EXPECT_TRUE(properties_->model.empty());

    // A long but acceptable answer is read in full.
    config.capabilityBody = std::string(200 * 1024, ' ') + "\r\nProductID=LONG\r\nVideoNum=2\r\n";
    camera_->SetConfig(config);
    ASSERT_TRUE(Query(error));
    EXPECT_EQ(properties_->model, "Zarn LONG");
    EXPECT_EQ(properties_->videoChannelCount, 2);
}

TEST_F(CameraPropertiesTest, UnreachableOrAddresslessCamera) {
    StartCamera(CameraConfig());
    const DEVICE_INFO device = DeviceFor(*camera_);
    camera_->Stop();
    CZarnHDCameraProperties unreachable(device, 0);
    int error = -1;
    EXPECT_FALSE(unreachable.GetProperties(error));
    EXPECT_EQ(error, 3);

    DEVICE_INFO noAddress = device;
    noAddress.address.clear();
    CZarnHDCameraProperties empty(noAddress, 0);
    error = -1;
    EXPECT_FALSE(empty.GetProperties(error));
    EXPECT_EQ(error, 3);
}

TEST_F(CameraPropertiesTest, TerminateSkipsResolutionsAndProbeButStillSaves) {
    StartCamera(CameraConfig());
    properties_ = std::make_unique<CZarnHDCameraProperties>(DeviceFor(*camera_), 0);
    // Terminate never interrupts the login and the capability read.
    properties_->Terminate();
    int error = -1;
    ASSERT_TRUE(properties_->GetProperties(error));
    EXPECT_EQ(TargetsOf("/cgi-bin/PtzConfig.cgi").size(), 0u);
    EXPECT_TRUE(properties_->resolutions.empty());
    EXPECT_TRUE(properties_->formatCodes.empty());

    zarntest::FakeCapabilityResult result;
    ASSERT_TRUE(properties_->SaveResults(&result));
    EXPECT_EQ(result.Model(), "Zarn HD2100");
    EXPECT_TRUE(result.Resolutions().empty());
    EXPECT_EQ(result.Count("GetResolutionList()"), 1u);
    EXPECT_EQ(result.Capability(8), std::nullopt);
    EXPECT_EQ(result.Capability(1), std::nullopt);
    EXPECT_EQ(result.CustomProperty(3).value, "2.4.1");
}

TEST_F(CameraPropertiesTest, SaveResultsWithoutResultObjectOrSubObjects) {
    StartCamera(CameraConfig());
    int error = 0;
    ASSERT_TRUE(Query(error));
    EXPECT_FALSE(properties_->SaveResults(nullptr));

    // A host that hands out no lists still gets every direct call and no crash.
    zarntest::FakeCapabilityResult result;
    result.SetReturnNull(true);
    ASSERT_TRUE(properties_->SaveResults(&result));
    EXPECT_EQ(result.Model(), "Zarn HD2100");
    EXPECT_EQ(result.Count("GetCustomProperty(4)"), 1u);
    EXPECT_TRUE(result.Resolutions().empty());
}

TEST_F(CameraPropertiesTest, FormatCodesMapToCapabilities) {
    StartCamera(CameraConfig());
    CZarnHDCameraProperties properties(DeviceFor(*camera_), 0);
    properties.formatCodes = {1, 4, 5, 2, 16, 0, 16};  // the walk stops at the first 0
    zarntest::FakeCapabilityResult result;
    ASSERT_TRUE(properties.SaveResults(&result));
    std::vector<std::pair<int32_t, int32_t>> formats;
    for (const auto& c : result.Capabilities()) {
        if (c.first >= 6 && c.first <= 8) formats.push_back(c);
    }
    EXPECT_EQ(formats, (std::vector<std::pair<int32_t, int32_t>>{{7, 1}, {6, 1}, {7, 1}, {8, 1}}));
    EXPECT_TRUE(camera_->Requests().empty());  // saving sends nothing
}

TEST_F(CameraPropertiesTest, AbortEndsARequestTheCameraStalls) {
    StartCamera(CameraConfig());
    camera_->UpdateFaults([](zarncam::Faults& f) { f.cgiDelayMs = 60000; });
    properties_ = std::make_unique<CZarnHDCameraProperties>(DeviceFor(*camera_), 0);
    auto running = std::async(std::launch::async, [this] {
        int error = -1;
        const bool ok = properties_->GetProperties(error);
        return std::make_pair(ok, error);
    });
    ASSERT_TRUE(camera_->WaitForStats(
        [](const zarncam::Stats& s) { return s.connectionsAccepted >= 1; }, 10s));
    // The camera holds the answer back: the query is still waiting.
    ASSERT_EQ(running.wait_for(200ms), std::future_status::timeout);
    properties_->Terminate();
    properties_->AbortRequest();
    ASSERT_EQ(running.wait_for(10s), std::future_status::ready);
    const auto [ok, error] = running.get();
    EXPECT_FALSE(ok);
    EXPECT_EQ(error, 3);
}

}  // namespace
