// The PTZ control as the host uses it: argument checks, motion flags and Stop, forgetting the
// current preset on motion, capability reporting, the preset slots with their buffer rules, and
// Initialize with and without a preset file.
#include "ptz/base_ptz_control.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "platform/platform.h"
#include "ptz/recording_ptz_comm.h"
#include "support/fake_driver.h"
#include "support/test_platform.h"
#include "support/vtable.h"
#include "xml/xml_settings_backend.h"

namespace {

using ptztest::RecordingComm;
using talvane::CBasePTZComm;
using talvane::CPtzCapabilities;
using talvane::TSmartPtr;

class TestControl final : public talvane::CBasePTZControl {
public:
    TestControl(talvane::IDriver* owner, int32_t channel) : CBasePTZControl(owner, channel) {}
    ~TestControl() override = default;

    CBasePTZComm* CreateComm() override {
        if (!createComm) return nullptr;
        auto* comm =
            new RecordingComm(Owner(), capabilities, static_cast<uint16_t>(ChannelIndex()));
        comm->failOpen = failOpen;
        return comm;
    }
    RecordingComm* Recorder() { return static_cast<RecordingComm*>(Comm()); }

    bool createComm = true;
    bool failOpen = false;
    CPtzCapabilities capabilities;
};

class BasePtzControlTest : public ::testing::Test {
protected:
    void SetUp() override {
        fileName_ = "ptz_control_test_" +
                    std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "_" +
                    ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".preset";
        std::remove(Path().c_str());
    }
    void TearDown() override {
        std::remove(Path().c_str());
        std::remove((Path() + ".damaged").c_str());
    }
    std::string Path() const { return talvane::platform::HostProgramDirectory() + fileName_; }

    TSmartPtr<CXMLPrepositionReader> OpenReader() {
        TSmartPtr<CXMLPrepositionReader> reader(new CXMLPrepositionReader("Zarn", &driver_));
        EXPECT_TRUE(reader->OpenFile(fileName_));
        return reader;
    }
    // An initialized control on a fresh preset file.
    void Init(TestControl& control) { ASSERT_TRUE(control.Initialize(OpenReader())); }

    zarntest::FakeDriver driver_;
    std::string fileName_;
};

TEST_F(BasePtzControlTest, WithoutCommandObjectMotionFailsButPresetCountAndMapValueWork) {
    TestControl control(&driver_, 0);
    EXPECT_EQ(control.IsPtzSupported(), talvane::kPtzFailed);
    EXPECT_EQ(control.Move(0, 5), talvane::kPtzFailed);
    EXPECT_EQ(control.Move(10, 5), talvane::kPtzFailed);
    EXPECT_EQ(control.Stop(), talvane::kPtzFailed);
    EXPECT_EQ(control.ZoomIn(1), talvane::kPtzFailed);
    EXPECT_EQ(control.FocusFar(1), talvane::kPtzFailed);
    EXPECT_EQ(control.IrisClose(1), talvane::kPtzFailed);
    talvane::PtzCapabilityRecord record{};
    EXPECT_EQ(control.GetCapabilities(&record), talvane::kPtzFailed);
    EXPECT_EQ(control.GetPresetCount(), 0);
    EXPECT_EQ(control.MapValue(7), 7);
    EXPECT_EQ(control.MapValue(-123456), -123456);
    // Preset slots need no command object; without a camera an add fails.
    EXPECT_EQ(control.AddPreset("Door"), talvane::kPtzFailed);
    char buffer[16];
    EXPECT_EQ(control.GetPresetName(0, buffer, sizeof(buffer)), talvane::kPtzPresetFailed);
}

TEST_F(BasePtzControlTest, ExceptionsStopAtTheSlotAndAreLoggedOnce) {
    TestControl control(&driver_, 0);
    Init(control);
    ASSERT_EQ(control.AddPreset("Door"), talvane::kPtzOk);
    control.Recorder()->throwFromPresets = true;
    ASSERT_EQ(control.Move(talvane::kPtzLeft, 1), talvane::kPtzOk);  // the head left "Door"
    EXPECT_EQ(control.AddPreset("Gate"), talvane::kPtzFailed);
    EXPECT_EQ(control.GotoPreset(0, "Door"), talvane::kPtzPresetFailed);
    EXPECT_EQ(control.DeletePreset("Door"), talvane::kPtzPresetFailed);
    for (const char* slot : {"AddPreset", "GotoPreset", "DeletePreset"}) {
        EXPECT_EQ(driver_.Count(std::string("talvane::CBasePTZControl::") + slot +
                                ": unexpected failure (preset layer failed)"),
                  1u)
            << slot;
    }
    // The list's lock was released on the way out: the control still works.
    control.Recorder()->throwFromPresets = false;
    EXPECT_EQ(control.GetPresetCount(), 1);
    EXPECT_EQ(control.GotoPreset(0, "Door"), talvane::kPtzOk);
}

TEST_F(BasePtzControlTest, CommSlotsFollowTheHostApiAtTwentyOneAndTwentyTwo) {
    TestControl control(&driver_, 0);
    Init(control);
    ASSERT_NE(control.Comm(), nullptr);
    // As a C host reaches them: slot 21 destroys the command object, slot 22 makes a new one.
    zarntest::CallSlot<void>(static_cast<talvane::IIPPTZApiEx*>(&control), 21);
    ASSERT_EQ(control.Comm(), nullptr);
    std::unique_ptr<CBasePTZComm> made(
        zarntest::CallSlot<CBasePTZComm*>(static_cast<talvane::IIPPTZApiEx*>(&control), 22));
    ASSERT_NE(made, nullptr);
    EXPECT_FALSE(made->IsStarted());
}

TEST_F(BasePtzControlTest, InitializeFailsWithoutReaderOrWhenTheThreadCannotStart) {
    TestControl noReader(&driver_, 0);
    EXPECT_FALSE(noReader.Initialize(TSmartPtr<CXMLPrepositionReader>()));
    EXPECT_EQ(noReader.Comm(), nullptr);

    TestControl noComm(&driver_, 0);
    noComm.createComm = false;
    EXPECT_FALSE(noComm.Initialize(OpenReader()));

    TSmartPtr<CXMLPrepositionReader> reader = OpenReader();
    TestControl failing(&driver_, 0);
    failing.failOpen = true;
    EXPECT_FALSE(failing.Initialize(reader));
    EXPECT_EQ(failing.Comm(), nullptr);
    EXPECT_EQ(reader.UseCount(), 1);  // the failed control kept no copy

    TestControl good(&driver_, 0);
    EXPECT_TRUE(good.Initialize(reader));
    ASSERT_NE(good.Recorder(), nullptr);
    EXPECT_TRUE(good.Recorder()->IsStarted());
    EXPECT_EQ(good.Presets().GetMaximum(), 32u);
    EXPECT_EQ(reader.UseCount(), 2);  // the preset list shares the file
}

TEST_F(BasePtzControlTest, MoveChecksDirectionAndPassesTheControlAsContext) {
    TestControl control(&driver_, 0);
    Init(control);
    EXPECT_EQ(control.IsPtzSupported(), 1);
    EXPECT_EQ(control.Move(10, 5), talvane::kPtzInvalidArgument);
    EXPECT_TRUE(control.Recorder()->Posted().empty());

    EXPECT_EQ(control.Move(talvane::kPtzDownRight, 16), talvane::kPtzOk);
    EXPECT_EQ(control.ZoomOut(4), talvane::kPtzOk);
    EXPECT_EQ(control.FocusNear(2), talvane::kPtzOk);
    EXPECT_EQ(control.IrisOpen(3), talvane::kPtzOk);
    const auto posted = control.Recorder()->Posted();
    ASSERT_EQ(posted.size(), 4u);
    IIPParams* params = &control;
    EXPECT_EQ(posted[0].message, CBasePTZComm::kMessageMove);
    EXPECT_EQ(posted[0].p1, talvane::kPtzDownRight);
    EXPECT_EQ(posted[0].speed, 16);
    EXPECT_EQ(posted[0].context, params);
    EXPECT_EQ(posted[1].p1, talvane::kPtzZoomOut);
    EXPECT_EQ(posted[2].code, CBasePTZComm::kCodeFocusNear);
    EXPECT_EQ(posted[3].code, CBasePTZComm::kCodeIrisOpen);

    // Features this camera lacks.
    EXPECT_EQ(control.AreaZoom(1, 2, 3, 4), talvane::kPtzNotSupported);
    EXPECT_EQ(control.Center(1, 2, 3), talvane::kPtzNotSupported);
    EXPECT_EQ(control.Unzoom(1), talvane::kPtzNotSupported);
    EXPECT_EQ(control.Recorder()->Posted().size(), 4u);
}

TEST_F(BasePtzControlTest, StopQueuesOneStopPerStartedMotionInFixedOrder) {
    TestControl control(&driver_, 0);
    Init(control);
    RecordingComm* comm = control.Recorder();

    EXPECT_EQ(control.Stop(), talvane::kPtzOk);  // nothing started: nothing queued
    EXPECT_TRUE(comm->Posted().empty());

    ASSERT_EQ(control.FocusFar(1), 1);
    ASSERT_EQ(control.IrisClose(1), 1);
    ASSERT_EQ(control.ZoomIn(1), 1);
    ASSERT_EQ(control.Move(talvane::kPtzLeft, 1), 1);
    EXPECT_EQ(control.Stop(), talvane::kPtzOk);
    auto posted = comm->Posted();
    ASSERT_EQ(posted.size(), 8u);
    const int32_t expected[] = {CBasePTZComm::kCodeStopMoving, CBasePTZComm::kCodeStopZooming,
                                CBasePTZComm::kCodeStopIrisChanging,
                                CBasePTZComm::kCodeStopFocusing};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(posted[4 + i].message, CBasePTZComm::kMessageStop);
        EXPECT_EQ(posted[4 + i].code, expected[i]);
    }
    // Everything stopped: a second Stop queues nothing.
    EXPECT_EQ(control.Stop(), talvane::kPtzOk);
    EXPECT_EQ(comm->Posted().size(), 8u);
}

TEST_F(BasePtzControlTest, ARefusedStopKeepsItsMotionForTheNextStop) {
    TestControl control(&driver_, 0);
    Init(control);
    RecordingComm* comm = control.Recorder();
    ASSERT_EQ(control.Move(talvane::kPtzUp, 3), 1);
    ASSERT_TRUE(comm->Close());  // the thread is gone: the stop is refused
    EXPECT_EQ(control.Stop(), talvane::kPtzFailed);
    EXPECT_EQ(driver_.Count("talvane::CBasePTZComm::StopMoving: cannot send message (4) to thread"),
              1u);
    ASSERT_TRUE(comm->Open());
    EXPECT_EQ(control.Stop(), talvane::kPtzOk);
    const auto posted = comm->Posted();
    ASSERT_EQ(posted.size(), 3u);
    EXPECT_EQ(posted[2].code, CBasePTZComm::kCodeStopMoving);
    // A refused motion sets no flag.
    ASSERT_TRUE(comm->Close());
    EXPECT_EQ(control.ZoomIn(1), talvane::kPtzFailed);
    ASSERT_TRUE(comm->Open());
    EXPECT_EQ(control.Stop(), talvane::kPtzOk);
    EXPECT_EQ(comm->Posted().size(), 4u);  // only the refused zoom's post
}

TEST_F(BasePtzControlTest, CapabilitiesCarryTheListsMaximumAndCount) {
    TestControl control(&driver_, 0);
    control.capabilities.maxPresets = 5;
    control.capabilities.unzoom = 1;
    Init(control);
    EXPECT_EQ(control.GetCapabilities(nullptr), talvane::kPtzInvalidArgument);
    ASSERT_EQ(control.AddPreset("Door"), 1);
    ASSERT_EQ(control.Unzoom(2), 1);  // supported here; the head left the preset
    ASSERT_EQ(control.AddPreset("Gate"), 1);
    talvane::PtzCapabilityRecord record;
    std::memset(&record, 0x7F, sizeof(record));
    ASSERT_EQ(control.GetCapabilities(&record), 1);
    EXPECT_EQ(record.hostField, 0x7F7F7F7F);
    EXPECT_EQ(record.pan, 1);
    EXPECT_EQ(record.maxPresets, 5);
    EXPECT_EQ(record.presetCount, 2);
    EXPECT_EQ(record.unzoom, 1);
    EXPECT_EQ(record.areaZoom, 0);
}

TEST_F(BasePtzControlTest, MotionForgetsTheCurrentPresetButARefusedOneDoesNot) {
    TestControl control(&driver_, 0);
    Init(control);
    ASSERT_EQ(control.AddPreset("Door"), 1);
    ASSERT_EQ(control.AddPreset("Gate"), 1);  // the head has not moved: renames
    EXPECT_EQ(control.GetPresetCount(), 1);
    EXPECT_EQ(control.AreaZoom(1, 2, 3, 4), talvane::kPtzNotSupported);
    EXPECT_EQ(control.Move(10, 1), talvane::kPtzInvalidArgument);
    ASSERT_EQ(control.AddPreset("Pier"), 1);  // still at the preset: renames again
    EXPECT_EQ(control.GetPresetCount(), 1);

    for (auto motion :
         {+[](TestControl& c) { return c.Move(0, 1); }, +[](TestControl& c) { return c.ZoomIn(1); },
          +[](TestControl& c) { return c.ZoomOut(1); },
          +[](TestControl& c) { return c.FocusNear(1); },
          +[](TestControl& c) { return c.FocusFar(1); },
          +[](TestControl& c) { return c.IrisOpen(1); },
          +[](TestControl& c) { return c.IrisClose(1); }}) {
        const int32_t before = control.GetPresetCount();
        ASSERT_EQ(motion(control), 1);
        char current[32];
        EXPECT_EQ(control.GetCurrentPresetName(current, sizeof(current)),
                  talvane::kPtzPresetFailed);
        ASSERT_EQ(control.AddPreset(("P" + std::to_string(before)).c_str()), 1);
        EXPECT_EQ(control.GetPresetCount(), before + 1);
    }
    const auto calls = control.Recorder()->PresetCalls();
    ASSERT_EQ(calls.size(), 8u);  // one camera preset per real add, none for the renames
    EXPECT_EQ(calls[0].operation, "set");
    EXPECT_EQ(calls[0].slot, 0);
    EXPECT_EQ(calls[7].slot, 7);
}

TEST_F(BasePtzControlTest, PresetSlotsCheckNamesAndBuffers) {
    TestControl control(&driver_, 3);
    Init(control);
    EXPECT_EQ(control.GetChannel(), 3);
    EXPECT_EQ(control.AddPreset(nullptr), talvane::kPtzInvalidArgument);
    EXPECT_EQ(control.AddPreset(""), talvane::kPtzInvalidArgument);
    EXPECT_EQ(control.AddPreset("it's"), talvane::kPtzInvalidArgument);
    EXPECT_EQ(control.GotoPreset(0, nullptr), talvane::kPtzInvalidArgument);
    EXPECT_EQ(control.DeletePreset(nullptr), talvane::kPtzInvalidArgument);
    EXPECT_EQ(control.GotoPreset(0, "Nowhere"), talvane::kPtzPresetFailed);
    EXPECT_EQ(control.DeletePreset("Nowhere"), talvane::kPtzPresetFailed);

    ASSERT_EQ(control.AddPreset("Door"), 1);
    char buffer[8];
    std::memset(buffer, '#', sizeof(buffer));
    EXPECT_EQ(control.GetPresetName(0, nullptr, 100), talvane::kPtzInvalidArgument);
    EXPECT_EQ(control.GetPresetName(0, buffer, 4),
              talvane::kPtzInvalidArgument);  // no room for NUL
    EXPECT_EQ(buffer[0], '#');
    EXPECT_EQ(control.GetPresetName(0, buffer, 5), 1);
    EXPECT_STREQ(buffer, "Door");
    EXPECT_EQ(control.GetPresetName(1, buffer, sizeof(buffer)), talvane::kPtzPresetFailed);
    EXPECT_EQ(control.GetPresetName(-1, buffer, sizeof(buffer)), talvane::kPtzPresetFailed);
    EXPECT_EQ(control.GetCurrentPresetName(buffer, 4), talvane::kPtzInvalidArgument);
    EXPECT_EQ(control.GetCurrentPresetName(nullptr, 0), talvane::kPtzInvalidArgument);
    EXPECT_EQ(control.GetCurrentPresetName(buffer, 5), 1);
    EXPECT_STREQ(buffer, "Door");

    // Go-to passes the host's value through; a camera refusal becomes -23.
    ASSERT_EQ(control.Move(0, 1), 1);
    EXPECT_EQ(control.GotoPreset(42, "Door"), 1);
    control.Recorder()->callResult = false;
    ASSERT_EQ(control.Move(0, 1), 1);
    EXPECT_EQ(control.GotoPreset(43, "Door"), talvane::kPtzPresetFailed);
    const auto calls = control.Recorder()->PresetCalls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[1].operation, "call");
    EXPECT_EQ(calls[1].value, 42);

    EXPECT_EQ(control.DeletePreset("Door"), 1);
    EXPECT_EQ(control.GetPresetCount(), 0);

    // A camera that refuses a new preset gives -18.
    control.Recorder()->setResult = false;
    EXPECT_EQ(control.AddPreset("Yard"), talvane::kPtzFailed);
}

TEST_F(BasePtzControlTest, PresetNamesCrossInTheHostsCodePageAndTheFileKeepsUtf8) {
    const std::string tuer = zarntest::HostText("T\xC3\xBCr");
    if (!zarntest::HostCodePageIsUtf8()) {
        ASSERT_EQ(tuer, "T\xFCr");  // as in code page 1252
    }
    {
        // A name from the Linux build, in a character most code pages cannot show.
        TSmartPtr<CXMLPrepositionReader> reader = OpenReader();
        ASSERT_TRUE(reader->WritePreposition(3, 0, {"\xE2\x98\x80 Sun", 0}));
    }
    TestControl control(&driver_, 3);
    Init(control);
    ASSERT_EQ(control.AddPreset(tuer.c_str()), 1);
    char buffer[32];
    ASSERT_EQ(control.GetPresetName(0, buffer, sizeof(buffer)), 1);
    EXPECT_EQ(std::string(buffer), zarntest::HostText("\xE2\x98\x80 Sun"));
    ASSERT_EQ(control.GetPresetName(1, buffer, sizeof(buffer)), 1);
    EXPECT_EQ(std::string(buffer), tuer);
    ASSERT_EQ(control.Move(0, 1), 1);
    EXPECT_EQ(control.GotoPreset(0, tuer.c_str()), 1);

    // The file holds UTF-8 whatever the host's code page.
    std::string file;
    if (FILE* f = std::fopen(Path().c_str(), "rb")) {
        char block[4096];
        for (size_t n; (n = std::fread(block, 1, sizeof(block), f)) > 0;) file.append(block, n);
        std::fclose(f);
    }
    EXPECT_NE(file.find("value=\"T\xC3\xBCr\""), std::string::npos) << file;
    EXPECT_NE(file.find("value=\"\xE2\x98\x80 Sun\""), std::string::npos) << file;

    // The length limit counts the converted name: 128 of U+00FC are 256 bytes of UTF-8.
    std::string longName;
    for (int i = 0; i < 128; ++i) longName += "\xC3\xBC";
    ASSERT_EQ(control.Move(0, 1), 1);
    EXPECT_EQ(control.AddPreset(zarntest::HostText(longName).c_str()),
              talvane::kPtzInvalidArgument);
    EXPECT_EQ(control.DeletePreset(tuer.c_str()), 1);
    EXPECT_EQ(control.GetPresetCount(), 1);
}

TEST_F(BasePtzControlTest, PresetsFailWhileTheFileCannotLoadAndComeBackWhenItDoes) {
    ASSERT_TRUE(OpenReader()->WritePreposition(3, 0, {"Door", 0}));
    TestControl control(&driver_, 3);
    TSmartPtr<CXMLPrepositionReader> reader(new CXMLPrepositionReader("Zarn", &driver_));
    xml_backend::SetLibraryFailureForTesting(true);
    EXPECT_FALSE(reader->OpenFile(fileName_));
    const bool initialized = control.Initialize(reader);
    char buffer[16];
    const int32_t results[] = {
        control.AddPreset("Gate"), control.GotoPreset(0, "Door"), control.DeletePreset("Door"),
        control.GetPresetName(0, buffer, sizeof(buffer)), control.GetPresetCount()};
    xml_backend::SetLibraryFailureForTesting(false);
    ASSERT_TRUE(initialized);
    EXPECT_EQ(results[0], talvane::kPtzFailed);
    EXPECT_EQ(results[1], talvane::kPtzFailed);
    EXPECT_EQ(results[2], talvane::kPtzFailed);
    EXPECT_EQ(results[3], talvane::kPtzFailed);
    EXPECT_EQ(results[4], 0);
    EXPECT_TRUE(control.Recorder()->PresetCalls().empty());  // the camera was never asked

    // The next use loads the file: the new preset takes a free slot, not the Door's.
    EXPECT_EQ(control.GetPresetCount(), 1);
    ASSERT_EQ(control.AddPreset("Gate"), 1);
    const auto calls = control.Recorder()->PresetCalls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].slot, 1);
}

TEST_F(BasePtzControlTest, ParamsKeepTheTwoOptions) {
    TestControl control(&driver_, 0);
    IIPParams& params = control;
    EXPECT_EQ(params.GetOption1(), 0);
    EXPECT_EQ(params.GetOption2(), 0);
    params.SetOption1(0xAB);
    params.SetOption2(7);
    EXPECT_EQ(params.GetOption1(), 0xAB);
    EXPECT_EQ(params.GetOption2(), 7);
}

TEST_F(BasePtzControlTest, DestroyCommStopsTheThreadAndDetachesThePresetList) {
    TestControl control(&driver_, 0);
    Init(control);
    ASSERT_EQ(control.AddPreset("Door"), 1);
    control.DestroyComm();
    EXPECT_EQ(control.Comm(), nullptr);
    EXPECT_EQ(control.Move(0, 1), talvane::kPtzFailed);
    EXPECT_EQ(control.GetPresetCount(), 1);  // names stay
    ASSERT_EQ(control.Move(0, 1), talvane::kPtzFailed);
    EXPECT_EQ(control.AddPreset("Gate"), talvane::kPtzFailed);  // no camera any more
    control.DestroyComm();                                      // twice is harmless
}

}  // namespace
