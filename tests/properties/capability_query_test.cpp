// The four capability-query exports as a host uses them: through the loaded module, with fake
// callback and result objects that the driver calls by slot number, against the virtual camera.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "camsim.h"
#include "support/driver_module.h"
#include "support/fake_capability.h"
#include "support/test_platform.h"

namespace {

using namespace std::chrono_literals;

constexpr auto kWait = 20s;  // generous bound for anything that must happen

const char kGetFailed[] = "Failed to get camera properties";
const char kSaveFailed[] = "Failed to save capability query results";

class CapabilityQueryTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(module_.Loaded()) << module_.Error();
        init_ = module_.Function<ZarnInitCapabilityQueryFn>("InitCapabilityQuery");
        start_ = module_.Function<ZarnStartCapabilityQueryFn>("StartCapabilityQuery");
        terminate_ = module_.Function<ZarnTerminateCapabilityQueryFn>("TerminateCapabilityQuery");
        uninit_ = module_.Function<ZarnUninitCapabilityQueryFn>("UninitCapabilityQuery");
        ASSERT_NE(init_, nullptr);
        ASSERT_NE(start_, nullptr);
        ASSERT_NE(terminate_, nullptr);
        ASSERT_NE(uninit_, nullptr);
        callback_.SetMirror(&result_.Log());
    }

    void TearDown() override {
        if (uninit_ != nullptr) uninit_();
    }

    void StartCamera(zarncam::Config config = {}) {
        config.user = "admin";
        config.password = "s3cret";
        camera_ = std::make_unique<zarncam::Camera>(config);
        ASSERT_TRUE(camera_->Start());
    }

    int Start(const char* password = "s3cret", zarntest::FakeCapabilityResult* result = nullptr) {
        return start_("127.0.0.1", camera_->Port(), "admin", password,
                      result != nullptr ? result : &result_);
    }

    // Runs a query to its end and returns the callback's outcome.
    zarntest::QueryOutcome Run(const char* password = "s3cret") {
        EXPECT_EQ(init_(&callback_, false), 1);
        EXPECT_EQ(Start(password), 1);
        EXPECT_TRUE(callback_.WaitForOutcome(kWait));
        EXPECT_EQ(uninit_(), 1);
        return callback_.Outcome().value_or(zarntest::QueryOutcome{false, -1, "none"});
    }

    // Calls UninitCapabilityQuery on another thread and waits for it within the generous bound.
    bool UninitReturns() {
        auto done = std::async(std::launch::async, [this] { return uninit_(); });
        if (done.wait_for(kWait) != std::future_status::ready) return false;
        return done.get() == 1;
    }

    zarntest::DriverModule module_;
    ZarnInitCapabilityQueryFn init_ = nullptr;
    ZarnStartCapabilityQueryFn start_ = nullptr;
    ZarnTerminateCapabilityQueryFn terminate_ = nullptr;
    ZarnUninitCapabilityQueryFn uninit_ = nullptr;
    zarntest::FakeCapabilityCallback callback_;
    zarntest::FakeCapabilityResult result_;
    std::unique_ptr<zarncam::Camera> camera_;
};

TEST_F(CapabilityQueryTest, StandardCameraIsDescribedThenCompletedOnce) {
    zarncam::Config config;
    config.capabilities.productId = "HD2100";
    config.capabilities.videoNum = 2;
    config.capabilities.inputPins = 4;
    config.capabilities.outputPins = 1;
    StartCamera(config);
    ASSERT_EQ(init_(&callback_, true), 1);
    ASSERT_EQ(Start(), 1);
    ASSERT_TRUE(callback_.WaitForOutcome(kWait));
    ASSERT_EQ(uninit_(), 1);

    EXPECT_EQ(callback_.Calls(), std::vector<std::string>{"OnQueryCompleted()"});
    const auto calls = result_.Calls();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.back(), "OnQueryCompleted()");  // after every write into the result

    EXPECT_EQ(result_.Model(), "Zarn HD2100");
    EXPECT_EQ(result_.Capability(0), 2);
    EXPECT_EQ(result_.Capability(2), 4);
    EXPECT_EQ(result_.Capability(3), 1);
    EXPECT_EQ(result_.Capability(4), 1);  // audio
    EXPECT_EQ(result_.Capability(1), 1);  // PTZ
    EXPECT_EQ(result_.Capability(8), 1);  // H.264
    EXPECT_EQ(result_.Capability(11), 0);
    EXPECT_EQ(result_.Capability(12), 0);

    std::vector<std::string> sizes;
    for (const auto& item : result_.Resolutions()) {
        EXPECT_EQ(item.intervalMs, 40) << item.text;
        sizes.push_back(item.text);
    }
    EXPECT_EQ(sizes, (std::vector<std::string>{"176x144", "352x288", "704x288", "704x576"}));
    EXPECT_EQ(result_.FrameIntervals(),
              (std::vector<int32_t>{500, 333, 250, 200, 166, 142, 125, 111, 100, 90, 83, 76,
                                    71,  66,  62,  58,  55,  52,  50,  47,  45,  43, 41, 40}));
    EXPECT_EQ(result_.DefaultFrameInterval(), 40);

    const std::vector<std::pair<std::string, std::string>> properties = {
        {"Video standard", "1"}, {"RTSP Port", "554"}, {"Firmware", "2.4.1"}, {"HD support", "0"}};
    for (int32_t i = 1; i <= 4; ++i) {
        const auto p = result_.CustomProperty(i);
        EXPECT_EQ(p.name, properties[i - 1].first) << i;
        EXPECT_EQ(p.value, properties[i - 1].second) << i;
        EXPECT_EQ(p.kind, 0) << i;
        EXPECT_EQ(p.flag, i == 3 ? 1 : 0) << i;
    }
    EXPECT_EQ(result_.ConnectionField(1), "127.0.0.1");
    EXPECT_EQ(result_.ConnectionField(2), std::to_string(camera_->Port()));
    EXPECT_EQ(result_.ConnectionField(3), "admin");
    EXPECT_EQ(result_.ConnectionField(4), "s3cret");
}

TEST_F(CapabilityQueryTest, HighDefinitionCamera) {
    zarncam::Config config;
    config.hd = true;
    StartCamera(config);
    const auto outcome = Run();
    EXPECT_TRUE(outcome.completed);
    std::vector<std::string> sizes;
    for (const auto& item : result_.Resolutions()) sizes.push_back(item.text);
    EXPECT_EQ(sizes,
              (std::vector<std::string>{"160x112", "320x240", "640x480", "1280x720", "1600x1200"}));
    EXPECT_EQ(result_.CustomProperty(4).value, "1");
    EXPECT_EQ(result_.CustomProperty(1).value, "0");  // video standard flag given as false
    EXPECT_EQ(result_.Capability(1), std::nullopt);
}

TEST_F(CapabilityQueryTest, FailuresReportCodeAndMessage) {
    // Login rejected by the camera's check.
    StartCamera();
    auto outcome = Run("wrong");
    EXPECT_FALSE(outcome.completed);
    EXPECT_EQ(outcome.code, 1);
    EXPECT_EQ(outcome.message, kGetFailed);
    EXPECT_EQ(callback_.NotificationCount(), 1u);
    EXPECT_TRUE(result_.Calls().back().rfind("OnQueryFailed", 0) == 0);  // nothing written

    // Capability list without a ProductID line.
    zarncam::Config config;
    config.capabilities.productId = std::nullopt;
    StartCamera(config);
    callback_.Clear();
    outcome = Run();
    EXPECT_EQ(outcome.code, 3);
    EXPECT_EQ(outcome.message, kGetFailed);

    // A camera that is not there.
    const uint16_t port = camera_->Port();
    camera_->Stop();
    callback_.Clear();
    ASSERT_EQ(init_(&callback_, false), 1);
    ASSERT_EQ(start_("127.0.0.1", port, "admin", "s3cret", &result_), 1);
    ASSERT_TRUE(callback_.WaitForOutcome(kWait));
    ASSERT_EQ(uninit_(), 1);
    EXPECT_EQ(callback_.Calls(),
              std::vector<std::string>{"OnQueryFailed(3," + std::string(kGetFailed) + ")"});
}

TEST_F(CapabilityQueryTest, NullResultObjectCannotBeWritten) {
    StartCamera();
    ASSERT_EQ(init_(&callback_, false), 1);
    ASSERT_EQ(start_("127.0.0.1", camera_->Port(), "admin", "s3cret", nullptr), 1);
    ASSERT_TRUE(callback_.WaitForOutcome(kWait));
    ASSERT_EQ(uninit_(), 1);
    EXPECT_EQ(callback_.Calls(),
              std::vector<std::string>{"OnQueryFailed(3," + std::string(kSaveFailed) + ")"});
}

TEST_F(CapabilityQueryTest, CredentialsArePercentEncodedOnTheWire) {
    zarncam::Config config;
    StartCamera(config);
    config = camera_->GetConfig();
    config.user = "us er&Action=Set";
    config.password = "p@ss#%+/=";
    camera_->SetConfig(config);
    ASSERT_EQ(init_(&callback_, false), 1);
    ASSERT_EQ(start_("127.0.0.1", camera_->Port(), config.user.c_str(), config.password.c_str(),
                     &result_),
              1);
    ASSERT_TRUE(callback_.WaitForOutcome(kWait));
    EXPECT_TRUE(callback_.Outcome()->completed);  // the camera decoded the same credentials
    std::vector<std::string> logins;
    for (const auto& r : camera_->Requests()) {
        if (r.Path() == "/cgi-bin/LoginConfig.cgi") logins.push_back(r.target);
    }
    EXPECT_EQ(logins, std::vector<std::string>{"/cgi-bin/LoginConfig.cgi?Action=Check"
                                               "&User=us%20er%26Action%3DSet"
                                               "&Password=p%40ss%23%25%2B%2F%3D"});
}

TEST_F(CapabilityQueryTest, InitStartAndUninitStates) {
    zarntest::FakeCapabilityCallback second;
    ASSERT_EQ(init_(&callback_, false), 1);
    EXPECT_EQ(init_(&second, true), 0);  // the first stays registered
    StartCamera();
    ASSERT_EQ(Start(), 1);
    ASSERT_TRUE(callback_.WaitForOutcome(kWait));
    EXPECT_EQ(result_.CustomProperty(1).value, "0");  // the first call's flag
    EXPECT_EQ(second.NotificationCount(), 0u);
    EXPECT_EQ(uninit_(), 1);
    EXPECT_EQ(uninit_(), 1);  // nothing to end

    // Uninit without a query unregisters the callback: Init works again.
    ASSERT_EQ(init_(&second, true), 1);
    EXPECT_EQ(uninit_(), 1);
    ASSERT_EQ(init_(&second, true), 1);
    EXPECT_EQ(uninit_(), 1);
    EXPECT_EQ(callback_.NotificationCount(), 1u);
    EXPECT_EQ(second.NotificationCount(), 0u);
}

TEST_F(CapabilityQueryTest, StartWithoutCallbackDoesNothing) {
    StartCamera();
    ASSERT_EQ(Start(), 1);
    ASSERT_TRUE(UninitReturns());  // the thread has ended once this returns
    EXPECT_TRUE(camera_->Requests().empty());
    EXPECT_TRUE(result_.Calls().empty());
}

TEST_F(CapabilityQueryTest, NullAndEmptyStrings) {
    // Null credentials count as empty ones; a camera with empty credentials accepts them.
    zarncam::Config config;
    StartCamera(config);
    config = camera_->GetConfig();
    config.user.clear();
    config.password.clear();
    camera_->SetConfig(config);
    ASSERT_EQ(init_(&callback_, false), 1);
    ASSERT_EQ(start_("127.0.0.1", camera_->Port(), nullptr, nullptr, &result_), 1);
    ASSERT_TRUE(callback_.WaitForOutcome(kWait));
    ASSERT_EQ(uninit_(), 1);
    EXPECT_TRUE(callback_.Outcome()->completed);
    EXPECT_EQ(result_.ConnectionField(3), "");
    EXPECT_EQ(result_.ConnectionField(4), "");

    // No address, null or empty: the camera cannot be reached.
    for (const char* address : {static_cast<const char*>(nullptr), ""}) {
        callback_.Clear();
        ASSERT_EQ(init_(&callback_, false), 1);
        ASSERT_EQ(start_(address, camera_->Port(), nullptr, "", &result_), 1);
        ASSERT_TRUE(callback_.WaitForOutcome(kWait));
        ASSERT_EQ(uninit_(), 1);
        EXPECT_EQ(callback_.Calls(),
                  std::vector<std::string>{"OnQueryFailed(3," + std::string(kGetFailed) + ")"});
    }
}

TEST_F(CapabilityQueryTest, UninitWhileTheCameraStallsEndsPromptlyAndSilently) {
    StartCamera();
    camera_->UpdateFaults([](zarncam::Faults& f) { f.cgiDelayMs = 60000; });
    ASSERT_EQ(init_(&callback_, false), 1);
    ASSERT_EQ(Start(), 1);
    ASSERT_TRUE(camera_->WaitForStats(
        [](const zarncam::Stats& s) { return s.connectionsAccepted >= 1; }, kWait));
    // A second query while this one runs is refused.
    EXPECT_EQ(Start(), 0);

    const auto before = std::chrono::steady_clock::now();
    ASSERT_TRUE(UninitReturns());
    const auto took = std::chrono::steady_clock::now() - before;
    // Well under the camera's 60 s stall and the 10 s request time-out.
    EXPECT_LT(took, 9s);
    EXPECT_EQ(callback_.NotificationCount(), 0u) << ::testing::PrintToString(callback_.Calls());
    EXPECT_TRUE(result_.Calls().empty());

    // The callback may go away now; stopping the camera must not bring any call.
    camera_->Stop();
    EXPECT_EQ(callback_.NotificationCount(), 0u);
}

TEST_F(CapabilityQueryTest, SecondStartAfterTheFirstFinishedRunsANewQuery) {
    StartCamera();
    ASSERT_EQ(init_(&callback_, false), 1);
    ASSERT_EQ(Start(), 1);
    ASSERT_TRUE(callback_.WaitForOutcome(kWait));
    zarntest::FakeCapabilityResult second;
    callback_.SetMirror(&second.Log());
    ASSERT_EQ(Start("wrong", &second), 1);  // the finished query is released first
    ASSERT_TRUE(callback_.WaitForCount(2, kWait));
    ASSERT_EQ(uninit_(), 1);
    EXPECT_EQ(callback_.Calls(),
              (std::vector<std::string>{"OnQueryCompleted()",
                                        "OnQueryFailed(1," + std::string(kGetFailed) + ")"}));
    EXPECT_EQ(second.Calls(),
              std::vector<std::string>{"OnQueryFailed(1," + std::string(kGetFailed) + ")"});
}

TEST_F(CapabilityQueryTest, TerminateAfterTheCapabilityReadStillCompletes) {
    StartCamera();
    // Every answer takes a while, so the request log shows where the query is.
    camera_->UpdateFaults([](zarncam::Faults& f) { f.cgiDelayMs = 1000; });
    EXPECT_EQ(terminate_(), 1);  // nothing to terminate yet
    ASSERT_EQ(init_(&callback_, false), 1);
    ASSERT_EQ(Start(), 1);
    ASSERT_TRUE(camera_->WaitForRequestCount("/cgi-bin/LoginConfig.cgi", 1, kWait));
    EXPECT_EQ(terminate_(), 1);
    ASSERT_TRUE(callback_.WaitForOutcome(kWait));
    EXPECT_EQ(callback_.Calls(), std::vector<std::string>{"OnQueryCompleted()"});
    EXPECT_EQ(result_.Model(), "Zarn HD2100");
    EXPECT_TRUE(result_.Resolutions().empty());
    EXPECT_EQ(result_.Capability(8), std::nullopt);
    EXPECT_EQ(result_.Capability(1), std::nullopt);
    EXPECT_EQ(camera_->Requests().size(), 2u);  // no PTZ probe
    EXPECT_EQ(uninit_(), 1);
}

TEST_F(CapabilityQueryTest, CallbackMayEndTheQueryFromInside) {
    StartCamera();
    std::promise<int> nested;
    auto uninit = uninit_;
    auto start = start_;
    const uint16_t port = camera_->Port();
    callback_.SetHook([&, uninit, start, port] {
        // Another query cannot start from inside the outcome; ending this one is allowed.
        const int refused = start("127.0.0.1", port, "admin", "s3cret", &result_);
        nested.set_value(refused * 10 + uninit());
    });
    ASSERT_EQ(init_(&callback_, false), 1);
    ASSERT_EQ(Start(), 1);
    auto value = nested.get_future();
    ASSERT_EQ(value.wait_for(kWait), std::future_status::ready);
    EXPECT_EQ(value.get(), 1);
    EXPECT_EQ(callback_.Calls(), std::vector<std::string>{"OnQueryCompleted()"});
    // The module is free again.
    ASSERT_EQ(init_(&callback_, false), 1);
}

TEST_F(CapabilityQueryTest, HostExceptionsFailTheQueryAndTheProcessGoesOn) {
    if (!zarntest::HostExceptionsAreStructured()) {
        GTEST_SKIP() << "the host's exceptions are C++ exceptions of the driver's runtime here";
    }
    StartCamera();
    // The result object throws in the middle of the description: the query fails as a save that
    // did not succeed, and the query thread ends normally.
    result_.SetHook([](const std::string& call) {
        if (call == "GetResolutionList()") zarntest::RaiseHostException();
    });
    const zarntest::QueryOutcome failed = Run();
    EXPECT_FALSE(failed.completed);
    EXPECT_EQ(failed.message, kSaveFailed);

    // A callback that throws: the next query still runs and reports.
    result_.SetHook(nullptr);
    callback_.Clear();
    callback_.SetHook([] { zarntest::RaiseHostException(); });
    ASSERT_EQ(init_(&callback_, false), 1);
    ASSERT_EQ(Start(), 1);
    ASSERT_TRUE(callback_.WaitForOutcome(kWait));
    EXPECT_EQ(uninit_(), 1);
    callback_.SetHook(nullptr);
    callback_.Clear();
    EXPECT_TRUE(Run().completed);
}

TEST_F(CapabilityQueryTest, UninitLetsGoOfAQueryHeldInTheResultObjectAndPinsTheModule) {
    StartCamera();
    std::mutex mutex;
    std::condition_variable cv;
    bool entered = false, release = false, returned = false;
    // The result object holds the query thread in the middle of the description, for longer
    // than UninitCapabilityQuery may wait (5000 ms).
    result_.SetHook([&](const std::string& call) {
        if (call != "GetResolutionList()") return;
        std::unique_lock<std::mutex> lock(mutex);
        entered = true;
        cv.notify_all();
        cv.wait_for(lock, 9s, [&] { return release; });
        returned = true;
        cv.notify_all();
    });
    ASSERT_EQ(init_(&callback_, false), 1);
    ASSERT_EQ(Start(), 1);
    {
        std::unique_lock<std::mutex> lock(mutex);
        ASSERT_TRUE(cv.wait_for(lock, kWait, [&] { return entered; }));
    }
    const auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(uninit_(), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - before, 5000ms + 2000ms);
    const size_t callsAtStop = result_.Calls().size();

    // The host may unload the module now: the let-go thread still runs its code, so it stays.
    uninit_ = nullptr;
    module_.Unload();
    EXPECT_TRUE(zarntest::DriverModule::IsLoaded());

    {
        std::unique_lock<std::mutex> lock(mutex);
        release = true;
        cv.notify_all();
        ASSERT_TRUE(cv.wait_for(lock, kWait, [&] { return returned; }));
    }
    // The held call's return is the last the host hears of the query.
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(result_.Calls().size(), callsAtStop) << ::testing::PrintToString(result_.Calls());
    EXPECT_EQ(callback_.NotificationCount(), 0u);
}

}  // namespace

TEST_F(CapabilityQueryTest, CallbackMayCallExportsWhileTheHostEndsTheQuery) {
    StartCamera();
    zarntest::FakeCapabilityCallback other;
    std::promise<void> entered;
    std::promise<void> uninitCalled;
    std::shared_future<void> uninitCalledFuture = uninitCalled.get_future().share();
    auto init = init_;
    auto terminate = terminate_;
    callback_.SetHook([&, init, terminate] {
        entered.set_value();
        uninitCalledFuture.wait();
        // The host is inside UninitCapabilityQuery (or about to be): these must not deadlock.
        terminate();
        init(&other, false);
    });
    ASSERT_EQ(init_(&callback_, false), 1);
    ASSERT_EQ(Start(), 1);
    ASSERT_EQ(entered.get_future().wait_for(kWait), std::future_status::ready);
    auto done = std::async(std::launch::async, [&] {
        uninitCalled.set_value();
        return uninit_();
    });
    ASSERT_EQ(done.wait_for(kWait), std::future_status::ready);
    EXPECT_EQ(done.get(), 1);
    EXPECT_EQ(callback_.NotificationCount(), 1u);
    EXPECT_EQ(other.NotificationCount(), 0u);
}
