// PTZ as the host sees it: the driver module loaded with dlopen, the PTZ driver and its control
// reached and called only by slot number, against the simulated camera. Covers the request of
// every motion, presets end to end with their file beside the program, reading the presets back
// with a new driver object, and cameras that refuse or do not answer.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <future>
#include <string>
#include <vector>

#include "camsim.h"
#include "platform/platform.h"
#include "support/module_fixture.h"
#include "support/vtable.h"
#include "xml/xml_settings_api.h"
#include "zarn/ptz.h"

namespace {

using namespace std::chrono_literals;
using zarntest::CallSlot;

using zarntest::kDriverGetPtzDriver;
using zarntest::kDriverGetPtzDriverEx;

// PTZ driver slots.
constexpr int kGetControl = 1;
constexpr int kGetPtzControl = 2;
// Control slots.
enum ControlSlot {
    kIsPtzSupported = 1,
    kMove = 2,
    kStop = 3,
    kCenter = 4,
    kZoomIn = 5,
    kZoomOut = 6,
    kUnzoom = 7,
    kAreaZoom = 8,
    kFocusNear = 9,
    kFocusFar = 10,
    kIrisOpen = 11,
    kIrisClose = 12,
    kGetCapabilities = 13,
    kGetPresetCount = 14,
    kGetPresetName = 15,
    kGotoPreset = 16,
    kAddPreset = 17,
    kDeletePreset = 18,
    kGetCurrentPresetName = 19,
    kMapValue = 20,
};

constexpr const char* kBase = "/cgi-bin/PtzConfig.cgi?Action=Set";
std::string Request(const std::string& tail) {
    return std::string(kBase) + tail;
}

// Thin wrappers over the control's slots.
struct Control {
    void* object;

    int32_t Move(int32_t direction, int32_t speed) const {
        return CallSlot<int32_t, int32_t, int32_t>(object, kMove, direction, speed);
    }
    int32_t Stop() const { return CallSlot<int32_t>(object, kStop); }
    int32_t Speed(int slot, int32_t speed) const {
        return CallSlot<int32_t, int32_t>(object, slot, speed);
    }
    int32_t Count() const { return CallSlot<int32_t>(object, kGetPresetCount); }
    int32_t Add(const char* name) const {
        return CallSlot<int32_t, const char*>(object, kAddPreset, name);
    }
    int32_t Goto(int32_t value, const char* name) const {
        return CallSlot<int32_t, int32_t, const char*>(object, kGotoPreset, value, name);
    }
    int32_t Delete(const char* name) const {
        return CallSlot<int32_t, const char*>(object, kDeletePreset, name);
    }
    int32_t NameAt(int32_t index, char* buffer, uint32_t size) const {
        return CallSlot<int32_t, int32_t, char*, uint32_t>(object, kGetPresetName, index, buffer,
                                                           size);
    }
    std::string NameAt(int32_t index) const {
        char buffer[64] = {};
        return NameAt(index, buffer, sizeof(buffer)) == 1 ? buffer : "<none>";
    }
    int32_t Current(char* buffer, uint32_t size) const {
        return CallSlot<int32_t, char*, uint32_t>(object, kGetCurrentPresetName, buffer, size);
    }
    std::string Current() const {
        char buffer[64] = {};
        return Current(buffer, sizeof(buffer)) == 1 ? buffer : "<none>";
    }
};

class PtzModuleTest : public zarntest::ModuleFixture {
protected:
    void SetUp() override {
        ModuleFixture::SetUp();
        if (HasFatalFailure()) return;

        zarncam::Config camConfig;
        camConfig.auth = {zarncam::AuthScheme::kBasic};
        camConfig.user = "admin";
        camConfig.password = "secret";
        camera_ = std::make_unique<zarncam::Camera>(camConfig);
        ASSERT_TRUE(camera_->Start());

        config_.network.address = "127.0.0.1";
        config_.network.port = camera_->Port();
        config_.network.user = "admin";
        config_.network.password = "secret";
        filePath_ = talvane::platform::HostProgramDirectory() + "Zarn_127.0.0.1_" +
                    std::to_string(camera_->Port()) + ".preset";
        RemoveFile();
    }
    void TearDown() override {
        ModuleFixture::TearDown();
        if (camera_) camera_->Stop();
        RemoveFile();
    }
    void RemoveFile() {
        std::error_code ignored;
        std::filesystem::remove(filePath_, ignored);
        std::filesystem::remove(filePath_ + ".damaged", ignored);
    }

    Control ControlOf(void* driver) {
        void* ptz = CallSlot<void*>(driver, kDriverGetPtzDriverEx);
        EXPECT_NE(ptz, nullptr);
        void* control = CallSlot<void*, uint32_t>(ptz, kGetPtzControl, 0u);
        EXPECT_NE(control, nullptr);
        return Control{control};
    }

    std::vector<std::string> PtzTargets() const {
        std::vector<std::string> targets;
        for (const auto& r : camera_->Requests()) {
            if (r.Path() == "/cgi-bin/PtzConfig.cgi") targets.push_back(r.target);
        }
        return targets;
    }
    bool WaitPtz(size_t n) const {
        return camera_->WaitForRequestCount("/cgi-bin/PtzConfig.cgi", n, 10s);
    }

    std::unique_ptr<zarncam::Camera> camera_;
    std::string filePath_;
};

TEST_F(PtzModuleTest, HandlerSlotsHandOutOneControlForChannelZero) {
    void* driver = OpenDriver();
    void* ptz = CallSlot<void*>(driver, kDriverGetPtzDriver);
    ASSERT_NE(ptz, nullptr);
    EXPECT_EQ(CallSlot<void*>(driver, kDriverGetPtzDriverEx), ptz);
    EXPECT_EQ((CallSlot<void*, uint32_t>(ptz, kGetPtzControl, 1u)), nullptr);
    void* control = CallSlot<void*, uint32_t>(ptz, kGetPtzControl, 0u);
    ASSERT_NE(control, nullptr);
    EXPECT_EQ((CallSlot<void*, uint32_t>(ptz, kGetControl, 0u)), control);
    EXPECT_EQ((CallSlot<void*, uint32_t>(ptz, kGetPtzControl, 0u)), control);
    EXPECT_TRUE(std::filesystem::exists(filePath_));
    EXPECT_EQ(CallSlot<int32_t>(control, kIsPtzSupported), 1);
    EXPECT_EQ((CallSlot<int32_t, int32_t>(control, kMapValue, 7)), 7);

    talvane::PtzCapabilityRecord record;
    std::memset(&record, 0x33, sizeof(record));
    EXPECT_EQ((CallSlot<int32_t, void*>(control, kGetCapabilities, nullptr)), -3);
    ASSERT_EQ((CallSlot<int32_t, void*>(control, kGetCapabilities, &record)), 1);
    EXPECT_EQ(record.hostField, 0x33333333);
    EXPECT_EQ(record.pan, 1);
    EXPECT_EQ(record.tilt, 1);
    EXPECT_EQ(record.zoom, 1);
    EXPECT_EQ(record.focus, 1);
    EXPECT_EQ(record.iris, 1);
    EXPECT_EQ(record.reserved7, 0);
    EXPECT_EQ(record.maxPresets, 32);
    EXPECT_EQ(record.presetCount, 0);
    EXPECT_EQ(record.areaZoom, 0);
    EXPECT_EQ(record.center, 0);
    EXPECT_EQ(record.unzoom, 0);
    EXPECT_TRUE(PtzTargets().empty());  // handing out a control sends nothing
}

TEST_F(PtzModuleTest, EveryMotionSlotSendsItsRequest) {
    Control control = ControlOf(OpenDriver());
    struct Step {
        std::function<int32_t()> call;
        std::string target;
    };
    const std::vector<Step> steps = {
        {[&] { return control.Move(talvane::kPtzLeft, 16); }, Request("&Move=Left&Speed=9")},
        {[&] { return control.Stop(); }, Request("&Move=Stop")},
        {[&] { return control.Speed(kZoomIn, 1); }, Request("&Move=ZoomTele&Speed=1")},
        {[&] { return control.Stop(); }, Request("&Move=Stop")},
        {[&] { return control.Speed(kZoomOut, 16); }, Request("&Move=ZoomWide&Speed=3")},
        {[&] { return control.Stop(); }, Request("&Move=Stop")},
        {[&] { return control.Speed(kFocusNear, 16); }, Request("&Move=FocusNear&Speed=3")},
        {[&] { return control.Stop(); }, Request("&Move=Stop")},
        {[&] { return control.Speed(kFocusFar, 1); }, Request("&Move=FocusFar&Speed=3")},
        {[&] { return control.Stop(); }, Request("&Move=Stop")},
        {[&] { return control.Speed(kIrisOpen, 9); }, Request("&Move=IrisOn&Speed=3")},
        {[&] { return control.Stop(); }, Request("&Move=Stop")},
        {[&] { return control.Speed(kIrisClose, 2); }, Request("&Move=IrisOff&Speed=3")},
        {[&] { return control.Stop(); }, Request("&Move=Stop")},
        {[&] { return control.Move(talvane::kPtzUpLeft, 16); },
         Request("&Path=1&Command=255,1,0,12,63,63,139")},
        {[&] { return control.Stop(); }, Request("&Move=Stop")},
        {[&] { return control.Move(talvane::kPtzDownRight, 1); },
         Request("&Path=1&Command=255,1,0,18,3,3,25")},
        {[&] { return control.Move(talvane::kPtzDown, 1); }, Request("&Move=Down&Speed=2")},
    };
    for (size_t i = 0; i < steps.size(); ++i) {
        ASSERT_EQ(steps[i].call(), 1) << "step " << i;
        ASSERT_TRUE(WaitPtz(i + 1)) << "step " << i;
    }
    // Refused before anything is queued.
    EXPECT_EQ(control.Move(10, 5), talvane::kPtzInvalidArgument);
    EXPECT_EQ((CallSlot<int32_t, int32_t, int32_t, int32_t>(control.object, kCenter, 1, 2, 3)),
              talvane::kPtzNotSupported);
    EXPECT_EQ(control.Speed(kUnzoom, 1), talvane::kPtzNotSupported);
    EXPECT_EQ((CallSlot<int32_t, int32_t, int32_t, int32_t, int32_t>(control.object, kAreaZoom, 1,
                                                                     2, 3, 4)),
              talvane::kPtzNotSupported);
    // A last request shows that nothing went out for them.
    ASSERT_EQ(control.Stop(), 1);
    ASSERT_TRUE(WaitPtz(steps.size() + 1));

    std::vector<std::string> expected;
    for (const auto& step : steps) expected.push_back(step.target);
    expected.push_back(Request("&Move=Stop"));
    EXPECT_EQ(PtzTargets(), expected);
    // Nothing logged a refusal: every request was queued.
    EXPECT_EQ(sink_.Count("cannot send message"), 0u);
}

TEST_F(PtzModuleTest, ABurstCollapsesToTheRunningRequestAndTheNewest) {
    Control control = ControlOf(OpenDriver());
    camera_->UpdateFaults([](zarncam::Faults& f) { f.cgiDelayMs = 500; });
    ASSERT_EQ(control.Move(talvane::kPtzLeft, 1), 1);
    ASSERT_EQ(control.Move(talvane::kPtzRight, 1), 1);
    ASSERT_EQ(control.Move(talvane::kPtzUp, 1), 1);
    ASSERT_EQ(control.Speed(kZoomIn, 1), 1);
    ASSERT_EQ(control.Stop(), 1);
    ASSERT_TRUE(camera_->WaitFor(
        [](const std::vector<zarncam::RequestRecord>& requests) {
            return !requests.empty() && requests.back().target == Request("&Move=Stop");
        },
        10s));
    const auto targets = PtzTargets();
    EXPECT_LE(targets.size(), 2u);  // the one in progress, if any, and the newest
    EXPECT_EQ(targets.back(), Request("&Move=Stop"));
}

// The preset file beside the program, read as a settings document of its own.
class PresetFile {
public:
    explicit PresetFile(const std::string& path)
        : loaded_(xml_.Load(path.substr(path.find_last_of("\\/") + 1).c_str()) == 0) {}
    ~PresetFile() {
        if (loaded_) xml_.Unload();
    }
    bool Loaded() const { return loaded_; }
    bool Has(int index) { return xml_.Exists("Zarn/PtzChannel01/Preposition%03d", index) == 1; }

    // Checks one Preposition element.
    void ExpectEntry(int index, const char* name, const char* slot) {
        ASSERT_TRUE(Has(index)) << "Preposition" << index;
        EXPECT_EQ(xml_.GetString("Zarn/PtzChannel01/Preposition%03d/Name", index), name);
        EXPECT_EQ(xml_.GetString("Zarn/PtzChannel01/Preposition%03d/Slot", index), slot);
    }

private:
    CXMLSettingsAPI xml_;
    bool loaded_;
};

TEST_F(PtzModuleTest, PresetsEndToEndAndBackWithANewDriver) {
    void* driver = OpenDriver();
    Control control = ControlOf(driver);
    EXPECT_EQ(control.Count(), 0);

    ASSERT_EQ(control.Add("Door"), 1);
    ASSERT_EQ(PtzTargets().size(), 1u);  // sent on this thread, before Add returned
    EXPECT_EQ(PtzTargets().back(), Request("&Move=PresetSet&PresetNo=1&PresetName=preset1"));
    ASSERT_EQ(control.Add("Gate"), 1);  // the head has not moved: renames Door
    EXPECT_EQ(PtzTargets().size(), 1u);
    EXPECT_EQ(control.Count(), 1);
    EXPECT_EQ(control.NameAt(0), "Gate");
    EXPECT_EQ(sink_.Count("was renamed from \"Door\" to \"Gate\""), 1u);

    ASSERT_EQ(control.Move(talvane::kPtzRight, 4), 1);
    ASSERT_TRUE(WaitPtz(2));
    EXPECT_EQ(control.Current(), "<none>");
    ASSERT_EQ(control.Add("Yard"), 1);
    EXPECT_EQ(PtzTargets().back(), Request("&Move=PresetSet&PresetNo=2&PresetName=preset2"));
    EXPECT_EQ(control.Count(), 2);
    EXPECT_EQ(control.NameAt(1), "Yard");
    EXPECT_EQ(control.Current(), "Yard");

    ASSERT_EQ(control.Goto(5, "Gate"), 1);
    EXPECT_EQ(PtzTargets().back(), Request("&Move=PresetCall&PresetNo=1"));
    EXPECT_EQ(control.Current(), "Gate");
    const size_t before = PtzTargets().size();
    ASSERT_EQ(control.Goto(5, "Gate"), 1);  // already there: nothing sent
    EXPECT_EQ(PtzTargets().size(), before);
    EXPECT_EQ(control.Goto(5, "Nowhere"), talvane::kPtzPresetFailed);

    // Names and buffers.
    char buffer[8];
    EXPECT_EQ(control.NameAt(0, nullptr, 8), talvane::kPtzInvalidArgument);
    EXPECT_EQ(control.NameAt(0, buffer, 4), talvane::kPtzInvalidArgument);  // "Gate" needs 5
    EXPECT_EQ(control.NameAt(0, buffer, 5), 1);
    EXPECT_STREQ(buffer, "Gate");
    EXPECT_EQ(control.NameAt(2, buffer, sizeof(buffer)), talvane::kPtzPresetFailed);
    EXPECT_EQ(control.Current(nullptr, 8), talvane::kPtzInvalidArgument);
    EXPECT_EQ(control.Current(buffer, 4), talvane::kPtzInvalidArgument);
    EXPECT_EQ(control.Add(nullptr), talvane::kPtzInvalidArgument);
    EXPECT_EQ(control.Goto(0, nullptr), talvane::kPtzInvalidArgument);
    EXPECT_EQ(control.Delete(nullptr), talvane::kPtzInvalidArgument);
    EXPECT_EQ(control.Add("Bad<name>"), talvane::kPtzInvalidArgument);
    EXPECT_EQ(sink_.Count("talvane::CPrepositionList::AddPreposition: A preposition \"Bad<name>\" "
                          "cannot be added - the name is invalid."),
              1u);

    // The file beside the program holds both presets.
    {
        PresetFile file(filePath_);
        ASSERT_TRUE(file.Loaded()) << filePath_;
        file.ExpectEntry(0, "Gate", "0");
        file.ExpectEntry(1, "Yard", "1");
    }

    ASSERT_EQ(control.Delete("Gate"), 1);
    EXPECT_EQ(PtzTargets().back(), Request("&Move=PresetClear&PresetNo=1"));
    EXPECT_EQ(control.Count(), 1);
    EXPECT_EQ(control.NameAt(0), "Yard");
    EXPECT_EQ(control.Delete("Gate"), talvane::kPtzPresetFailed);
    {
        PresetFile file(filePath_);
        ASSERT_TRUE(file.Loaded());
        file.ExpectEntry(0, "Yard", "1");
        EXPECT_FALSE(file.Has(1));
    }
    // The freed slot 0 is taken again; the new preset comes last.
    ASSERT_EQ(control.Move(talvane::kPtzLeft, 4), 1);
    ASSERT_TRUE(WaitPtz(6));  // set, move, set, call, clear, move
    ASSERT_EQ(control.Add("Pier"), 1);
    EXPECT_EQ(PtzTargets().back(), Request("&Move=PresetSet&PresetNo=1&PresetName=preset1"));
    EXPECT_EQ(camera_->Presets(), (std::map<int, std::string>{{1, "preset1"}, {2, "preset2"}}));

    DeleteDriver(driver);

    // A new driver object reads the same presets back.
    Control again = ControlOf(OpenDriver());
    EXPECT_EQ(again.Count(), 2);
    EXPECT_EQ(again.NameAt(0), "Yard");
    EXPECT_EQ(again.NameAt(1), "Pier");
    EXPECT_EQ(again.Current(), "<none>");
    ASSERT_EQ(again.Goto(0, "Pier"), 1);
    EXPECT_EQ(PtzTargets().back(), Request("&Move=PresetCall&PresetNo=1"));
    talvane::PtzCapabilityRecord record{};
    ASSERT_EQ((CallSlot<int32_t, void*>(again.object, kGetCapabilities, &record)), 1);
    EXPECT_EQ(record.presetCount, 2);
}

TEST_F(PtzModuleTest, ARefusingCameraGivesCodesAndNoCrash) {
    Control control = ControlOf(OpenDriver());
    ASSERT_EQ(control.Add("Door"), 1);
    ASSERT_EQ(control.Move(talvane::kPtzUp, 2), 1);
    ASSERT_TRUE(WaitPtz(2));
    camera_->UpdateFaults([](zarncam::Faults& f) {
        f.errorPathPrefix = "/cgi-bin/PtzConfig.cgi";
        f.errorStatus = 503;
    });
    EXPECT_EQ(control.Add("Gate"), talvane::kPtzFailed);  // the camera refused the new preset
    EXPECT_EQ(control.Count(), 1);
    EXPECT_EQ(control.Move(talvane::kPtzDown, 2), 1);  // queued; the refusal stays on the thread
    ASSERT_TRUE(WaitPtz(4));
    EXPECT_EQ(control.Goto(0, "Door"), 1);  // any answer counts for a go-to
    EXPECT_EQ(control.Stop(), 1);
    ASSERT_TRUE(WaitPtz(6));
    EXPECT_EQ(control.Delete("Door"), 1);
    EXPECT_EQ(control.Count(), 0);
}

TEST_F(PtzModuleTest, ASilentCameraCannotHoldTheHostWhenTheDriverIsDeleted) {
    void* driver = OpenDriver();
    Control control = ControlOf(driver);
    const uint64_t accepted = camera_->GetStats().connectionsAccepted;
    camera_->UpdateFaults([](zarncam::Faults& f) { f.cgiDelayMs = 60000; });
    ASSERT_EQ(control.Move(talvane::kPtzLeft, 16), 1);
    ASSERT_TRUE(camera_->WaitForStats(
        [&](const zarncam::Stats& s) { return s.connectionsAccepted > accepted; }, 10s));
    auto deleting = std::async(std::launch::async, [&] { DeleteDriver(driver); });
    // The driver's request time-out is 10 s; only aborting the request ends it well before.
    ASSERT_EQ(deleting.wait_for(5s), std::future_status::ready);
}

}  // namespace
