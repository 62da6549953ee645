// Credentials end to end, through the loaded module as a host uses it: user names and passwords
// with characters that mean something in a URL, a query string or an Authorization header log in
// with Basic and with Digest for the stream, PTZ, presets and the capability query; and the
// password shows up in no log record at any level, nor in a failure the capability query reports,
// also while the camera refuses requests.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "camsim.h"
#include "http/text_utils.h"
#include "platform/platform.h"
#include "support/fake_capability.h"
#include "support/module_fixture.h"
#include "support/test_platform.h"
#include "support/vtable.h"
#include "zarn/capability.h"
#include "zarn/ptz.h"

namespace {

using namespace std::chrono_literals;
using zarntest::CallSlot;

constexpr int kCaptureStartChannel = 2;
constexpr int kCaptureStopChannel = 3;
constexpr int kGetPtzControl = 2;
constexpr int kMove = 2;
constexpr int kStop = 3;
constexpr int kGotoPreset = 16;
constexpr int kAddPreset = 17;
constexpr int kDeletePreset = 18;

// Recognisable, and made of the characters that change a request when pasted into it.
constexpr const char* kPassword = "Pw&#%+=: q7 Zx";

std::string Base64(const std::string& text) {
    static const char kDigits[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < text.size(); i += 3) {
        uint32_t chunk = static_cast<uint8_t>(text[i]) << 16;
        if (i + 1 < text.size()) chunk |= static_cast<uint8_t>(text[i + 1]) << 8;
        if (i + 2 < text.size()) chunk |= static_cast<uint8_t>(text[i + 2]);
        out += kDigits[(chunk >> 18) & 63];
        out += kDigits[(chunk >> 12) & 63];
        out += i + 1 < text.size() ? kDigits[(chunk >> 6) & 63] : '=';
        out += i + 2 < text.size() ? kDigits[chunk & 63] : '=';
    }
    return out;
}

// One camera and one driver object with the host objects it borrows.
struct Account {
    zarncam::AuthScheme scheme;
    std::string user;
    std::unique_ptr<zarncam::Camera> camera;
    zarntest::FakeDebugSink sink;
    zarntest::FakeFrameAllocator allocator;
    zarntest::FakeDriverConfig config;
    zarntest::FakeChannelSink channel;
    zarntest::FakeStreamSettings settings{176, 144, 40, 50};
    void* driver = nullptr;
    void* capture = nullptr;
    void* ptz = nullptr;
    std::string presetFile;
};

class CredentialsEndToEndTest : public zarntest::ModuleFixture {
protected:
    void TearDown() override {
        ModuleFixture::TearDown();
        for (auto& account : accounts_) {
            if (account->camera) account->camera->Stop();
            std::error_code ignored;
            std::filesystem::remove(account->presetFile, ignored);
            std::filesystem::remove(account->presetFile + ".damaged", ignored);
        }
    }

    Account& Add(zarncam::AuthScheme scheme, const std::string& user) {
        auto account = std::make_unique<Account>();
        account->scheme = scheme;
        account->user = user;
        zarncam::Config camera;
        camera.user = user;
        camera.password = kPassword;
        camera.auth = {scheme};
        account->camera = std::make_unique<zarncam::Camera>(camera);
        EXPECT_TRUE(account->camera->Start());
        account->config.network.address = "127.0.0.1";
        account->config.network.port = account->camera->Port();
        account->config.network.user = user;
        account->config.network.password = kPassword;
        account->config.extra = {{1, "0"}, {2, "554"}, {3, "2.4.1"}, {4, "0"}};
        account->presetFile = talvane::platform::HostProgramDirectory() + "Zarn_127.0.0.1_" +
                              std::to_string(account->camera->Port()) + ".preset";
        accounts_.push_back(std::move(account));
        return *accounts_.back();
    }

    // Opens a driver for the account, starts its channel and moves its camera head; presets are
    // stored, recalled and deleted while the stream runs.
    void Use(Account& a) {
        a.driver = CreateDriver();
        ASSERT_TRUE((CallSlot<bool, void*, void*, void*>(a.driver, zarntest::kDriverOpen, &a.sink,
                                                         &a.allocator, &a.config)));
        a.capture = CallSlot<void*>(a.driver, zarntest::kDriverGetVideoCapture);
        ASSERT_NE(a.capture, nullptr);
        ASSERT_TRUE((CallSlot<bool, uint32_t, void*, void*>(a.capture, kCaptureStartChannel, 0u,
                                                            &a.channel, &a.settings)));
        void* handler = CallSlot<void*>(a.driver, zarntest::kDriverGetPtzDriverEx);
        ASSERT_NE(handler, nullptr);
        a.ptz = CallSlot<void*, uint32_t>(handler, kGetPtzControl, 0u);
        ASSERT_NE(a.ptz, nullptr);
        EXPECT_EQ((CallSlot<int32_t, int32_t, int32_t>(a.ptz, kMove, talvane::kPtzLeft, 5)), 1);
        EXPECT_TRUE(a.camera->WaitForRequestCount("/cgi-bin/PtzConfig.cgi", 1, 10s));
        EXPECT_EQ(CallSlot<int32_t>(a.ptz, kStop), 1);
        EXPECT_EQ((CallSlot<int32_t, const char*>(a.ptz, kAddPreset, "Door")), 1);
        EXPECT_EQ((CallSlot<int32_t, int32_t, const char*>(a.ptz, kGotoPreset, 5, "Door")), 1);
        EXPECT_EQ((CallSlot<int32_t, const char*>(a.ptz, kDeletePreset, "Door")), 1);
    }

    // Runs a capability query for the account to its end.
    zarntest::QueryOutcome Query(Account& a) {
        auto init = module_.Function<ZarnInitCapabilityQueryFn>("InitCapabilityQuery");
        auto start = module_.Function<ZarnStartCapabilityQueryFn>("StartCapabilityQuery");
        auto uninit = module_.Function<ZarnUninitCapabilityQueryFn>("UninitCapabilityQuery");
        zarntest::FakeCapabilityCallback callback;
        zarntest::FakeCapabilityResult result;
        EXPECT_EQ(init(&callback, false), 1);
        EXPECT_EQ(start("127.0.0.1", a.camera->Port(), a.user.c_str(), kPassword, &result), 1);
        EXPECT_TRUE(callback.WaitForOutcome(20s));
        EXPECT_EQ(uninit(), 1);
        return callback.Outcome().value_or(zarntest::QueryOutcome{false, -1, "none"});
    }

    // Every form in which the password could leak into a text.
    std::vector<std::string> SecretForms(const Account& a) const {
        return {kPassword, HUtils::PercentEncode(kPassword), Base64(a.user + ":" + kPassword),
                "q7 Zx"};
    }

    std::vector<std::unique_ptr<Account>> accounts_;
};

TEST_F(CredentialsEndToEndTest, SpecialCharactersLogInAndThePasswordIsNeverLogged) {
    // A Basic user name cannot hold ":" (it ends the name in the credentials); a Digest one can.
    std::vector<Account*> all = {&Add(zarncam::AuthScheme::kBasic, "op &#%+=x")};
    if (!zarntest::RunningUnderWine()) {
        all.push_back(&Add(zarncam::AuthScheme::kDigest, "op:&#%+= y"));
    }
    for (Account* a : all) Use(*a);
    for (Account* a : all) {
        SCOPED_TRACE(zarncam::AuthSchemeName(a->scheme));
        // The driver pauses 5 s between configuring the encoder and opening the stream.
        EXPECT_TRUE(a->channel.WaitForFrames(5, 60s));
        const auto presets = a->camera->Presets();
        EXPECT_TRUE(presets.empty());  // stored, then deleted again
        size_t accepted = 0;
        for (const auto& r : a->camera->Requests()) {
            if (r.status != 200) continue;
            ++accepted;
            EXPECT_EQ(r.auth, a->scheme) << r.target;
        }
        EXPECT_GE(accepted, 6u);  // encoder, stream, move, stop, preset set, call, clear

        const zarntest::QueryOutcome outcome = Query(*a);
        EXPECT_TRUE(outcome.completed) << outcome.code << " " << outcome.message;
        EXPECT_TRUE(a->camera->WaitFor(
            [](const std::vector<zarncam::RequestRecord>& records) {
                for (const auto& r : records) {
                    if (r.Path() == "/cgi-bin/LoginConfig.cgi" && r.status == 200) return true;
                }
                return false;
            },
            1s));
    }

    // Now the camera refuses everything: failures are logged with their requests.
    for (Account* a : all) {
        a->camera->UpdateFaults([](zarncam::Faults& f) {
            f.errorPathPrefix = "/cgi-bin/";
            f.errorStatus = 500;
        });
        a->camera->DropNextPart();  // the stream ends; the reconnect fails to configure
        EXPECT_EQ((CallSlot<int32_t, int32_t, int32_t>(a->ptz, kMove, talvane::kPtzRight, 5)), 1);
        EXPECT_NE((CallSlot<int32_t, const char*>(a->ptz, kAddPreset, "Gate")), 1);
        const zarntest::QueryOutcome failed = Query(*a);
        EXPECT_FALSE(failed.completed);
        for (const std::string& secret : SecretForms(*a)) {
            EXPECT_EQ(failed.message.find(secret), std::string::npos) << failed.message;
        }
        EXPECT_TRUE(a->sink.WaitFor("status code = 500", 20s));
    }

    for (Account* a : all) {
        SCOPED_TRACE(zarncam::AuthSchemeName(a->scheme));
        EXPECT_TRUE((CallSlot<bool, uint32_t>(a->capture, kCaptureStopChannel, 0u)));
        CallSlot<void>(a->driver, zarntest::kDriverClose);
        DeleteDriver(a->driver);
        const auto records = a->sink.Records();
        EXPECT_GE(records.size(), 3u);
        for (const zarntest::LogRecord& record : records) {
            for (const std::string& secret : SecretForms(*a)) {
                EXPECT_EQ(record.text.find(secret), std::string::npos)
                    << "level " << record.level << ": " << record.text;
            }
        }
    }
}

}  // namespace
