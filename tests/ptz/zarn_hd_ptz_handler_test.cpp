// The PTZ handler: preset file name, lazy controls per channel, storage set-up failures and their
// log lines, and the whole chain (handler, control, preset list, command object) against the
// simulated camera with preset operations on one thread while moves run on the PTZ thread.
#include "ptz/zarn_hd_ptz_handler.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "camsim.h"
#include "platform/platform.h"
#include "preset/xml_preposition_reader.h"
#include "ptz/zarn_hd_ptz_control.h"
#include "support/fake_driver.h"
#include "support/test_platform.h"

namespace {

using namespace std::chrono_literals;
using talvane::CBasePTZControl;
using talvane::CZarnHDPTZHandler;
using talvane::DEVICE_INFO;

std::string HostFile(const std::string& name) {
    return talvane::platform::HostProgramDirectory() + name;
}

void RemoveFile(const std::string& name) {
    std::error_code ignored;
    std::filesystem::remove(HostFile(name), ignored);
    std::filesystem::remove(HostFile(name + ".damaged"), ignored);
}

DEVICE_INFO Device(const std::string& address, uint16_t port) {
    DEVICE_INFO device;
    device.address = address;
    device.port = port;
    return device;
}

TEST(ZarnHdPtzHandlerNameTest, FileNameTellsCamerasApartAndKeepsTheAddressReadable) {
    const auto nameOf = [](const std::string& address, uint16_t port) {
        return CZarnHDPTZHandler::PresetFileNameFor(Device(address, port));
    };
    EXPECT_EQ(nameOf("192.0.2.10", 80), "Zarn_192.0.2.10_80.preset");
    EXPECT_EQ(nameOf("", 80), "Zarn__80.preset");
    EXPECT_EQ(nameOf("cam.example", 65535), "Zarn_cam.example_65535.preset");
    EXPECT_EQ(nameOf("fe80::1%eth0", 80), "Zarn_fe80%3A%3A1%25eth0_80.preset");
    // Path separators never reach the name.
    EXPECT_EQ(nameOf("../x/y\\z", 8080), "Zarn_..%2Fx%2Fy%5Cz_8080.preset");
    // Addresses that lost their dots alike no longer share a file.
    for (const auto& [a, b] :
         {std::pair{"192.168.1.11", "192.168.11.1"}, std::pair{"127.1.0.11", "127.10.1.1"}}) {
        EXPECT_NE(nameOf(a, 80), nameOf(b, 80));
        EXPECT_EQ(CZarnHDPTZHandler::LegacyPresetFileNameFor(Device(a, 80)),
                  CZarnHDPTZHandler::LegacyPresetFileNameFor(Device(b, 80)));
    }
    EXPECT_EQ(CZarnHDPTZHandler::LegacyPresetFileNameFor(Device("192.0.2.10", 80)),
              "Zarn_1920210_80.preset");

    zarntest::FakeDriver driver;
    driver.SetDevice(Device("10.1.2.3", 8081));
    CZarnHDPTZHandler handler(&driver);
    std::string name;
    handler.GetPresetFileName(name);
    EXPECT_EQ(name, "Zarn_10.1.2.3_8081.preset");
    EXPECT_EQ(handler.HandlerName(), "Zarn");

    CZarnHDPTZHandler orphan(nullptr);
    orphan.GetPresetFileName(name);
    EXPECT_EQ(name, "");
    EXPECT_EQ(orphan.GetPtzControl(0), nullptr);  // no file name: nothing to build on
}

// A handler whose file name and controls a test chooses.
class ScriptedHandler final : public talvane::CBasePTZHandler {
public:
    explicit ScriptedHandler(talvane::IDriver* owner) : CBasePTZHandler(owner, "Zarn") {}
    ~ScriptedHandler() override = default;
    void GetPresetFileName(std::string& name) override { name = fileName; }
    CBasePTZControl* CreatePtzControl(uint32_t channel) override;

    std::string fileName;
    bool controlsWork = true;
    bool throwOnCreate = false;
    int created = 0;
};

class NoCommControl final : public CBasePTZControl {
public:
    NoCommControl(talvane::IDriver* owner, int32_t channel) : CBasePTZControl(owner, channel) {}
    ~NoCommControl() override = default;
    talvane::CBasePTZComm* CreateComm() override { return nullptr; }
};

CBasePTZControl* ScriptedHandler::CreatePtzControl(uint32_t channel) {
    ++created;
    if (throwOnCreate) throw std::runtime_error("control factory failed");
    if (controlsWork) return new talvane::CZarnHDPTZControl(Owner(), static_cast<int32_t>(channel));
    return new NoCommControl(Owner(), static_cast<int32_t>(channel));
}

class ZarnHdPtzHandlerTest : public ::testing::Test {
protected:
    void SetUp() override {
        driver_.SetDevice(Device("127.0.0.9", 1));  // nothing answers there; only files matter
        fileName_ = "Zarn_handler_test_" +
                    std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) +
                    ".preset";
        RemoveFile(fileName_);
    }
    void TearDown() override { RemoveFile(fileName_); }

    zarntest::FakeDriver driver_;
    std::string fileName_;
};

TEST_F(ZarnHdPtzHandlerTest, OneControlForChannelZeroOnlyAndBothSlotsAgree) {
    ScriptedHandler handler(&driver_);
    handler.fileName = fileName_;
    EXPECT_EQ(handler.GetPtzControl(1), nullptr);
    EXPECT_EQ(handler.GetControl(7), nullptr);
    EXPECT_FALSE(handler.HasStorage());  // an unknown channel does not touch the file
    EXPECT_FALSE(std::filesystem::exists(HostFile(fileName_)));

    talvane::IIPPTZApiEx* control = handler.GetPtzControl(0);
    ASSERT_NE(control, nullptr);
    EXPECT_TRUE(std::filesystem::exists(HostFile(fileName_)));
    EXPECT_EQ(handler.GetPtzControl(0), control);
    EXPECT_EQ(handler.GetControl(0), control);
    EXPECT_EQ(handler.created, 1);
    EXPECT_EQ(control->IsPtzSupported(), 1);

    // Released controls are built again on the next request.
    handler.ReleasePtzControls();
    ASSERT_NE(handler.GetPtzControl(0), nullptr);
    EXPECT_EQ(handler.created, 2);
    EXPECT_TRUE(driver_.Lines().empty());
}

TEST_F(ZarnHdPtzHandlerTest, AControlThatCannotStartIsDroppedAndRetried) {
    ScriptedHandler handler(&driver_);
    handler.fileName = fileName_;
    handler.controlsWork = false;
    EXPECT_EQ(handler.GetPtzControl(0), nullptr);
    EXPECT_EQ(handler.GetPtzControl(0), nullptr);
    EXPECT_EQ(handler.created, 2);
    handler.controlsWork = true;
    EXPECT_NE(handler.GetPtzControl(0), nullptr);
    EXPECT_EQ(handler.created, 3);
}

TEST_F(ZarnHdPtzHandlerTest, AnExceptionWhileMakingTheControlStopsAtTheSlot) {
    ScriptedHandler handler(&driver_);
    handler.fileName = fileName_;
    handler.throwOnCreate = true;
    EXPECT_EQ(handler.GetPtzControl(0), nullptr);
    EXPECT_EQ(handler.GetControl(0), nullptr);
    EXPECT_EQ(driver_.Count("talvane::CBasePTZHandler::GetPtzControl: unexpected failure (control "
                            "factory failed)"),
              2u);
    handler.throwOnCreate = false;
    EXPECT_NE(handler.GetPtzControl(0), nullptr);
}

TEST_F(ZarnHdPtzHandlerTest, StorageFailuresAreLoggedAndRetried) {
    ScriptedHandler handler(&driver_);
    handler.fileName = "";
    EXPECT_EQ(handler.GetPtzControl(0), nullptr);
    EXPECT_EQ(handler.GetPtzControl(0), nullptr);  // no reader yet: tried and logged again
    const std::string undefinedName =
        "talvane::CBasePTZHandler::InitializeXMLStorage: PTZ module cannot be initialized! Name "
        "of file for preset storing was not defined";
    auto lines = driver_.Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].text, undefinedName);
    EXPECT_EQ(lines[0].level, talvane::kLogFailure);
    EXPECT_EQ(handler.created, 0);

    // A file that cannot be created: logged, but the reader stays attached and the control is
    // built on it (its preset operations fail, and each tries the file again).
    handler.fileName = std::string(300, 'n') + ".preset";
    EXPECT_TRUE(handler.InitializeXMLStorage());
    lines = driver_.Lines();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines.back().text,
              "talvane::CBasePTZHandler::InitializeXMLStorage: cannot initialize "
              "CXMLPrepositionReader object with parameter \"" +
                  handler.fileName + "\"");
    EXPECT_TRUE(handler.HasStorage());
    talvane::IIPPTZApiEx* control = handler.GetPtzControl(0);
    ASSERT_NE(control, nullptr);
    EXPECT_EQ(control->GetPresetCount(), 0);
}

TEST_F(ZarnHdPtzHandlerTest, TheHostNamesTheFolderOfThePresetFile) {
    const std::filesystem::path folder = zarntest::MakeTempFolder("zarn-preset-folder-");
    ASSERT_FALSE(folder.empty());
    const auto inFolder = [&](const std::string& name) { return (folder / name).string(); };
    {
        driver_.SetParameter(talvane::kPresetFolderParameter, folder.string());
        ScriptedHandler handler(&driver_);
        handler.fileName = fileName_;
        ASSERT_NE(handler.GetPtzControl(0), nullptr);
        EXPECT_TRUE(std::filesystem::exists(inFolder(fileName_)));
        EXPECT_FALSE(std::filesystem::exists(HostFile(fileName_)));
    }
    // Entries written there are read back from there (with or without a trailing separator).
    {
        CXMLPrepositionReader writer("Zarn");
        ASSERT_TRUE(writer.OpenFile(fileName_, folder.string() + "/"));
        ASSERT_TRUE(writer.WritePreposition(0, 0, PrepositionEntry{"Door", 4}));
        CXMLPrepositionReader reader("Zarn");
        ASSERT_TRUE(reader.OpenFile(fileName_, folder.string()));
        PrepositionEntry entry;
        ASSERT_TRUE(reader.ReadPreposition(0, 0, entry));
        EXPECT_EQ(entry.name, "Door");
        EXPECT_EQ(entry.slot, 4);
    }
    // A folder that does not exist is not made: the failure names the whole path, and the file
    // is tried again at the next preset operation.
    {
        driver_.SetParameter(talvane::kPresetFolderParameter, inFolder("missing"));
        ScriptedHandler handler(&driver_);
        handler.fileName = fileName_;
        EXPECT_TRUE(handler.InitializeXMLStorage());
        EXPECT_EQ(driver_.Count("with parameter \"" + inFolder("missing/" + fileName_) + "\""), 1u);
    }
    // Empty is the host program's folder.
    {
        driver_.SetParameter(talvane::kPresetFolderParameter, "");
        ScriptedHandler handler(&driver_);
        handler.fileName = fileName_;
        ASSERT_NE(handler.GetPtzControl(0), nullptr);
        EXPECT_TRUE(std::filesystem::exists(HostFile(fileName_)));
    }
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
}

TEST_F(ZarnHdPtzHandlerTest, RepeatedStorageFailuresPassTheLogThrottle) {
    ScriptedHandler handler(&driver_);
    handler.fileName = "";
    for (int i = 0; i < 40; ++i) EXPECT_FALSE(handler.InitializeXMLStorage());
    // 14 go out at once, then one in 16 (the 16th and the 32nd).
    EXPECT_EQ(driver_.Count("Name of file for preset storing was not defined"), 16u);
}

// Files of the earlier naming in a folder of the test's own. Each case uses addresses no other
// test of the process opens: the cameras a process has opened are remembered for its life.
class ZarnHdPtzLegacyFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        folder_ = zarntest::MakeTempFolder("zarn-legacy-");
        ASSERT_FALSE(folder_.empty());
    }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }
    // A driver for the camera, with the preset folder set.
    std::unique_ptr<zarntest::FakeDriver> Driver(const std::string& address, uint16_t port) {
        auto driver = std::make_unique<zarntest::FakeDriver>();
        driver->SetDevice(Device(address, port));
        driver->SetParameter(talvane::kPresetFolderParameter, folder_.string());
        return driver;
    }
    // A preset file holding one preset named `name`.
    void WriteFile(const std::string& fileName, const std::string& name) {
        CXMLPrepositionReader writer("Zarn");
        ASSERT_TRUE(writer.OpenFile(fileName, folder_.string()));
        ASSERT_TRUE(writer.WritePreposition(0, 0, PrepositionEntry{name, 0}));
    }
    // The name of the first preset of the file, or "" when there is none.
    std::string FirstName(const std::string& fileName) {
        CXMLPrepositionReader reader("Zarn");
        PrepositionEntry entry;
        if (!reader.OpenFile(fileName, folder_.string())) return "?";
        return reader.ReadPreposition(0, 0, entry) ? entry.name : std::string();
    }
    bool Exists(const std::string& fileName) { return std::filesystem::exists(folder_ / fileName); }

    std::filesystem::path folder_;
};

TEST_F(ZarnHdPtzLegacyFileTest, AnEarlierFileOfOneCameraIsTakenOverAndLogged) {
    const DEVICE_INFO device = Device("127.31.0.7", 40101);
    const std::string legacy = CZarnHDPTZHandler::LegacyPresetFileNameFor(device);
    const std::string current = CZarnHDPTZHandler::PresetFileNameFor(device);
    WriteFile(legacy, "Door");
    auto driver = Driver(device.address, device.port);
    CZarnHDPTZHandler handler(driver.get());
    ASSERT_TRUE(handler.InitializeXMLStorage());
    EXPECT_FALSE(Exists(legacy));
    EXPECT_EQ(FirstName(current), "Door");
    ASSERT_EQ(driver->Lines().size(), 1u);
    EXPECT_EQ(driver->Lines()[0].level, talvane::kLogNotice);
    EXPECT_EQ(driver->Lines()[0].text,
              "talvane::CZarnHDPTZHandler::InitializeXMLStorage: The preset file \"" +
                  (folder_ / legacy).string() + "\" of an earlier version was renamed to \"" +
                  current + "\" for camera 127.31.0.7:40101.");

    // A camera that has a file of the new name keeps it; an earlier one is not looked at.
    const DEVICE_INFO other = Device("127.31.0.8", 40101);
    WriteFile(CZarnHDPTZHandler::LegacyPresetFileNameFor(other), "Old");
    WriteFile(CZarnHDPTZHandler::PresetFileNameFor(other), "New");
    auto otherDriver = Driver(other.address, other.port);
    CZarnHDPTZHandler otherHandler(otherDriver.get());
    ASSERT_TRUE(otherHandler.InitializeXMLStorage());
    EXPECT_EQ(FirstName(CZarnHDPTZHandler::PresetFileNameFor(other)), "New");
    EXPECT_EQ(FirstName(CZarnHDPTZHandler::LegacyPresetFileNameFor(other)), "Old");
    EXPECT_TRUE(otherDriver->Lines().empty());
}

TEST_F(ZarnHdPtzLegacyFileTest, AnEarlierFileTwoCamerasCouldOwnIsLeftAlone) {
    const DEVICE_INFO first = Device("127.1.0.11", 40102);
    const DEVICE_INFO second = Device("127.10.1.1", 40102);
    const std::string legacy = CZarnHDPTZHandler::LegacyPresetFileNameFor(first);
    WriteFile(legacy, "Door");
    auto firstDriver = Driver(first.address, first.port);
    auto secondDriver = Driver(second.address, second.port);
    CZarnHDPTZHandler firstHandler(firstDriver.get());
    CZarnHDPTZHandler secondHandler(secondDriver.get());
    for (auto* handler : {&firstHandler, &secondHandler})
        ASSERT_TRUE(handler->InitializeXMLStorage());
    // Each camera starts empty; the old file stays for whoever knows whose it was.
    EXPECT_EQ(FirstName(legacy), "Door");
    EXPECT_EQ(FirstName(CZarnHDPTZHandler::PresetFileNameFor(first)), "");
    EXPECT_EQ(FirstName(CZarnHDPTZHandler::PresetFileNameFor(second)), "");
    EXPECT_EQ(firstDriver->Count("may belong to camera 127.1.0.11:40102 or to another camera"), 1u);
    // Closing one of them does not make the file the other's.
    std::filesystem::remove(folder_ / CZarnHDPTZHandler::PresetFileNameFor(second));
    auto again = Driver(second.address, second.port);
    CZarnHDPTZHandler secondAgain(again.get());
    ASSERT_TRUE(secondAgain.InitializeXMLStorage());
    EXPECT_EQ(FirstName(legacy), "Door");
}

// The whole chain against the simulated camera.
class ZarnHdPtzChainTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(camera_.Start());
        driver_.SetDevice(Device("127.0.0.1", camera_.Port()));
        fileName_ = CZarnHDPTZHandler::PresetFileNameFor(Device("127.0.0.1", camera_.Port()));
        RemoveFile(fileName_);
    }
    void TearDown() override {
        camera_.Stop();
        RemoveFile(fileName_);
    }

    zarncam::Camera camera_;
    zarntest::FakeDriver driver_;
    std::string fileName_;
};

TEST_F(ZarnHdPtzChainTest, PresetsOnOneThreadWhileMovesRunOnThePtzThread) {
    constexpr int kDelayMs = 10;
    camera_.UpdateFaults([](zarncam::Faults& f) { f.cgiDelayMs = kDelayMs; });
    CZarnHDPTZHandler handler(&driver_);
    talvane::IIPPTZApiEx* control = handler.GetPtzControl(0);
    ASSERT_NE(control, nullptr);
    EXPECT_EQ(fileName_, "Zarn_127.0.0.1_" + std::to_string(camera_.Port()) + ".preset");
    EXPECT_TRUE(std::filesystem::exists(HostFile(fileName_)));

    std::atomic<bool> stop{false};
    std::atomic<int> moves{0};
    std::thread mover([&] {
        while (!stop.load()) {
            if (control->Move(moves.load() % 8, 8) == 1) moves.fetch_add(1);
            control->Stop();
            std::this_thread::sleep_for(2ms);
        }
    });
    int failures = 0;
    for (int i = 0; i < 8; ++i) {
        const std::string name = "P" + std::to_string(i);
        failures += control->AddPreset(name.c_str()) == 1 ? 0 : 1;
        failures += control->GotoPreset(0, name.c_str()) == 1 ? 0 : 1;
        char buffer[16];
        failures += control->GetPresetName(0, buffer, sizeof(buffer)) == 1 ? 0 : 1;
    }
    // Whether an add created a preset or renamed the current one depends on whether a move came
    // in between; the last name exists either way.
    failures += control->DeletePreset("P7") == 1 ? 0 : 1;
    stop.store(true);
    mover.join();
    EXPECT_EQ(failures, 0);
    EXPECT_GT(moves.load(), 0);
    // Closing aborts a move in flight and then lets the queued stop out at once: the requests of
    // the close are not part of the comparison.
    const auto closing = std::chrono::steady_clock::now();
    handler.ReleasePtzControls();  // stops the PTZ thread

    auto requests = camera_.Requests();
    requests.erase(std::remove_if(requests.begin(), requests.end(),
                                  [&](const auto& r) { return r.received >= closing; }),
                   requests.end());
    std::sort(requests.begin(), requests.end(),
              [](const auto& a, const auto& b) { return a.received < b.received; });
    size_t presetRequests = 0;
    for (size_t i = 0; i < requests.size(); ++i) {
        if (requests[i].target.find("Move=Preset") != std::string::npos) ++presetRequests;
        if (i == 0) continue;
        EXPECT_GE(requests[i].received - requests[i - 1].received,
                  std::chrono::milliseconds(kDelayMs))
            << requests[i - 1].target << " and " << requests[i].target << " overlapped";
    }
    EXPECT_GE(presetRequests, 2u);  // at least one set and the clear
}

}  // namespace
