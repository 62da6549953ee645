#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver/zarn_hd_ip_capture_driver.h"
#include "platform/platform.h"
#include "support/fake_host.h"

namespace talvane {
namespace {

class CaptureDriverTest : public ::testing::Test {
protected:
    void TearDown() override { platform::SetHostCoreVersionForTesting(std::nullopt); }

    bool Open() { return driver_.Open(&sink_, &allocator_, &config_); }

    zarntest::FakeDebugSink sink_;
    zarntest::FakeFrameAllocator allocator_;
    zarntest::FakeDriverConfig config_;
    CZarnHDIPCaptureDriver driver_;
};

TEST(LogLevelTest, MappingFollowsTheHostCoreVersion) {
    const platform::Version v5_12{5, 12, 0, 0}, v5_11{5, 11, 9, 9}, v4_20{4, 20, 0, 0},
        v6_0{6, 0, 0, 0};
    EXPECT_EQ(CIPCaptureDriver::MapLogLevel(4, v5_12), -1);
    EXPECT_EQ(CIPCaptureDriver::MapLogLevel(4, v5_11), -1);
    EXPECT_EQ(CIPCaptureDriver::MapLogLevel(3, v5_12), 3);
    EXPECT_EQ(CIPCaptureDriver::MapLogLevel(3, v6_0), 3);
    EXPECT_EQ(CIPCaptureDriver::MapLogLevel(3, v5_11), 2);
    EXPECT_EQ(CIPCaptureDriver::MapLogLevel(3, v4_20), 2);
    EXPECT_EQ(CIPCaptureDriver::MapLogLevel(1, v5_11), 1);
    EXPECT_EQ(CIPCaptureDriver::MapLogLevel(0x21, v5_12), 1);  // low four bits only
}

// Host configuration objects that write down every call the driver makes, in order.
class RecordingConfig final : public IDriverConfig {
public:
    std::vector<std::string> calls;

    ZARN_IMPLEMENT_SLOT0(RecordingConfig)
    IDeviceSettings* GetDeviceSettings() override { return Note("GetDeviceSettings", &device_); }
    INetworkSettings* GetNetworkSettings() override {
        return Note("GetNetworkSettings", &network_);
    }
    void Reserved3() override { calls.push_back("Reserved3"); }
    const char* GetExtraParameter(int32_t index) override {
        calls.push_back("GetExtraParameter(" + std::to_string(index) + ")");
        return index <= 2 ? "1" : nullptr;
    }

private:
    template <class T>
    T* Note(const char* call, T* result) {
        calls.push_back(call);
        return result;
    }
    class Device final : public IDeviceSettings {
    public:
        explicit Device(RecordingConfig& owner) : owner_(owner) {}
        ZARN_IMPLEMENT_SLOT0(Device)
        void Reserved1() override { owner_.calls.push_back("Device.Reserved1"); }
        const char* GetModelName() override { return owner_.Note("GetModelName", "HD2100"); }
        uint32_t GetChannelCount() override {
            owner_.calls.push_back("GetChannelCount");
            return 1;
        }
        void Reserved4() override { owner_.calls.push_back("Device.Reserved4"); }
        int32_t GetDeviceValue1() override {
            owner_.calls.push_back("GetDeviceValue1");
            return 0;
        }
        int32_t GetDeviceValue2() override {
            owner_.calls.push_back("GetDeviceValue2");
            return 0;
        }

    private:
        RecordingConfig& owner_;
    };
    class Network final : public INetworkSettings {
    public:
        explicit Network(RecordingConfig& owner) : owner_(owner) {}
        ZARN_IMPLEMENT_SLOT0(Network)
        const char* GetAddress() override { return owner_.Note("GetAddress", "10.0.0.1"); }
        uint16_t GetPort() override {
            owner_.calls.push_back("GetPort");
            return 80;
        }
        void Reserved3() override { owner_.calls.push_back("Network.Reserved3"); }
        int32_t GetStreamKind() override {
            owner_.calls.push_back("GetStreamKind");
            return 3;
        }
        const char* GetUserName() override { return owner_.Note("GetUserName", "u"); }
        const char* GetPassword() override { return owner_.Note("GetPassword", "p"); }

    private:
        RecordingConfig& owner_;
    };
    template <class T>
    const T* Note(const char* call, const T* result) {
        calls.push_back(call);
        return result;
    }
    Device device_{*this};
    Network network_{*this};
};

TEST_F(CaptureDriverTest, OpenAsksTheConfigurationInTheHostsOrder) {
    RecordingConfig config;
    ASSERT_TRUE(driver_.Open(&sink_, &allocator_, &config));
    const std::vector<std::string> expected = {
        // 1. stream kind; 2. device values; 3. connection record
        "GetNetworkSettings", "GetStreamKind", "GetDeviceSettings", "GetDeviceValue1",
        "GetDeviceValue2", "GetNetworkSettings", "GetAddress", "GetPort", "GetUserName",
        "GetPassword",
        // 4. extra parameters up to the first missing one
        "GetExtraParameter(1)", "GetExtraParameter(2)", "GetExtraParameter(3)",
        // 7. channel count; then the family's log line: model, address, port, each read again
        "GetDeviceSettings", "GetChannelCount", "GetDeviceSettings", "GetModelName",
        "GetNetworkSettings", "GetAddress", "GetNetworkSettings", "GetPort"};
    EXPECT_EQ(config.calls, expected);
    EXPECT_EQ(sink_.Count("device model: HD2100, FW: (none), address: 10.0.0.1:80)"), 1u);
}

TEST_F(CaptureDriverTest, OldHostCoreReceivesNoticesAsLevelTwo) {
    platform::SetHostCoreVersionForTesting(platform::Version{5, 11, 0, 0});
    ASSERT_TRUE(Open());
    auto notices = sink_.Matching("DRIVER IS OPENED");
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(notices[0].level, 2);
}

TEST_F(CaptureDriverTest, LogForwardsArgumentsAndDropsSilentLevel) {
    ASSERT_TRUE(Open());
    sink_.Clear();
    driver_.Log(kLogSilent, "%s: hidden", "x");
    EXPECT_TRUE(sink_.Records().empty());
    driver_.Log(kLogFailure, "%s: camera said %s", "talvane::Test", "%n%s%x");
    auto records = sink_.Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].text, "talvane::Test: camera said %n%s%x");
    EXPECT_EQ(records[0].level, 1);
    driver_.Log(kLogNotice, "%s", "");
    records = sink_.Records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_TRUE(records[1].textWasNull);
}

// A diagnosing host asks for level 4 through extra parameter 5; any other value, or none, keeps
// level 4 away from the host. Levels 1 and 3 are unchanged either way.
TEST_F(CaptureDriverTest, DiagnosticParameterForwardsSilentLevel) {
    for (const char* value : {"1", "0", "yes"}) {
        SCOPED_TRACE(value);
        CZarnHDIPCaptureDriver driver;
        zarntest::FakeDebugSink sink;
        config_.extra[5] = value;
        ASSERT_TRUE(driver.Open(&sink, &allocator_, &config_));
        driver.Log(kLogSilent, "%s: can not send", "HUtils::SendRequest");
        driver.Log(kLogFailure, "%s: failed", "x");
        const auto silent = sink.Matching("can not send");
        if (std::string(value) == "1") {
            ASSERT_EQ(silent.size(), 1u);
            EXPECT_EQ(silent[0].level, 4);
        } else {
            EXPECT_TRUE(silent.empty());
        }
        ASSERT_EQ(sink.Matching("failed").size(), 1u);
        EXPECT_EQ(sink.Matching("failed")[0].level, 1);
    }
    // Reading stops at the first missing parameter, so a gap before 5 hides it.
    config_.extra = {{1, "0"}, {2, "554"}, {5, "1"}};
    ASSERT_TRUE(Open());
    driver_.Log(kLogSilent, "%s: hidden", "x");
    EXPECT_TRUE(sink_.Matching("hidden").empty());
}

TEST_F(CaptureDriverTest, OpenCopiesConnectionAndSetsFamilyTimeouts) {
    config_.network.address = "10.1.2.3";
    config_.network.port = 65535;
    config_.network.user = "op";
    config_.network.password = "pw";
    config_.device.value1 = 7;
    config_.device.value2 = -2;
    ASSERT_TRUE(Open());
    DEVICE_INFO info;
    driver_.GetDeviceInfo(&info);
    EXPECT_EQ(info.address, "10.1.2.3");
    EXPECT_EQ(info.port, 65535);
    EXPECT_EQ(info.user, "op");
    EXPECT_EQ(info.password, "pw");
    EXPECT_EQ(info.requestTimeoutMs, 10000);
    EXPECT_EQ(info.noDataTimeoutMs, 10000);
    DeviceValues values;
    driver_.GetDeviceValues(&values);
    EXPECT_EQ(values.value1, 7);
    EXPECT_EQ(values.value2, -2);
    EXPECT_EQ(driver_.GetStreamKind(), 3);
    EXPECT_EQ(sink_.Count("address: 10.1.2.3:65535)"), 1u);
    // The password never reaches the log.
    for (const auto& r : sink_.Records()) EXPECT_EQ(r.text.find("pw"), std::string::npos);
}

TEST_F(CaptureDriverTest, ExtraParametersStopAtTheFirstMissingIndex) {
    config_.extra = {{1, "-5"}, {2, "x"}, {4, "1"}};
    ASSERT_TRUE(Open());
    EXPECT_EQ(config_.ParameterRequests(), (std::vector<int32_t>{1, 2, 3}));
    EXPECT_STREQ(driver_.GetParameterText(1), "-5");
    EXPECT_EQ(driver_.GetParameterText(4), nullptr);  // never read: index 3 was missing
    EXPECT_EQ(driver_.GetParameterInt(1), -5);
    EXPECT_EQ(driver_.GetVideoStandard(), -5);
    EXPECT_EQ(driver_.GetParameterInt(2), IDriver::kNoParameter);
    EXPECT_EQ(driver_.GetParameterInt(9), IDriver::kNoParameter);
    EXPECT_EQ(sink_.Count("FW: (none)"), 1u);
}

TEST_F(CaptureDriverTest, ParameterIntegersAreStrict) {
    config_.extra = {{1, "+"},           {2, ""},   {3, "12a"}, {4, "2147483648"},
                     {5, "-2147483648"}, {6, " 7"}, {7, "+7"}};
    ASSERT_TRUE(Open());
    for (int32_t i : {1, 2, 3, 4, 6})
        EXPECT_EQ(driver_.GetParameterInt(i), IDriver::kNoParameter) << i;
    EXPECT_EQ(driver_.GetParameterInt(5), INT32_MIN);
    EXPECT_EQ(driver_.GetParameterInt(7), 7);
    EXPECT_EQ(driver_.GetVideoStandard(), 0);  // "+" is not a number
}

TEST_F(CaptureDriverTest, EmptyStringsAndNullHostTextsAreHandled) {
    config_.network.address = "";
    config_.device.model = "";
    config_.extra = {{1, "0"}, {2, "1"}, {3, ""}};
    ASSERT_TRUE(Open());
    EXPECT_EQ(sink_.Count("device model: , FW: (none), address: :80)"), 1u);
}

TEST_F(CaptureDriverTest, ConfigurationWithoutExtraParameters) {
    config_.extra.clear();
    ASSERT_TRUE(Open());
    EXPECT_EQ(config_.ParameterRequests(), (std::vector<int32_t>{1}));
    EXPECT_EQ(driver_.GetVideoStandard(), 0);
    EXPECT_EQ(driver_.GetParameterText(1), nullptr);
    EXPECT_EQ(sink_.Count("FW: (none)"), 1u);
}

TEST_F(CaptureDriverTest, AbsurdChannelCountIsBounded) {
    config_.device.channelCount = 0xFFFFFFFFu;
    ASSERT_TRUE(Open());
    ASSERT_NE(driver_.GetVideoCapture(), nullptr);
    EXPECT_EQ(driver_.GetVideoCapture()->GetChannelCount(), 256u);
    EXPECT_EQ(sink_.Count("channels; using 256"), 1u);
}

TEST_F(CaptureDriverTest, CloseTwiceReleasesOnce) {
    ASSERT_TRUE(Open());
    EXPECT_NE(driver_.GetVideoCapture(), nullptr);
    driver_.Close();
    driver_.Close();
    EXPECT_EQ(driver_.GetVideoCapture(), nullptr);
    EXPECT_EQ(driver_.GetPtzDriver(), nullptr);
}

TEST_F(CaptureDriverTest, OtherStreamKindsMakeNoChannel) {
    config_.network.streamKind = 2;
    ASSERT_TRUE(Open());
    zarntest::FakeChannelSink channelSink;
    EXPECT_EQ(driver_.CreateChannel(0, &channelSink), nullptr);
    zarntest::FakeStreamSettings settings(704, 576, 40, 50);
    auto* capture = driver_.GetVideoCapture();
    EXPECT_TRUE(capture->StartChannel(0, &channelSink, &settings));  // nothing to start
    int32_t state = -1, code = -1;
    char text[8] = "x";
    EXPECT_FALSE(capture->GetChannelState(0, &state, &code, text, sizeof(text)));
    EXPECT_EQ(code, 0);
    EXPECT_STREQ(text, "");
    EXPECT_FALSE(capture->StopChannel(0));
    EXPECT_FALSE(capture->StartChannel(1, &channelSink, &settings));  // out of range
}

}  // namespace
}  // namespace talvane
