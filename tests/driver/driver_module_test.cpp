// The driver as the host sees it: loaded with dlopen, created through the exports and called only
// by slot number through the raw vtable.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <memory>
#include <set>
#include <sstream>
#include <string>

#include "support/module_fixture.h"
#include "support/vtable.h"

namespace {

using zarntest::CallSlot;

using namespace zarntest;  // driver slot numbers

class DriverModuleTest : public zarntest::ModuleFixture {
protected:
    void SetUp() override {
        ModuleFixture::SetUp();
        config_.network.port = 8080;
        config_.network.address = "192.0.2.10";
        config_.device.model = "Zarn HD2100";
        config_.extra = {{1, "1"}, {2, "554"}, {3, "2.4.1"}};
    }
};

TEST_F(DriverModuleTest, EveryPrimarySlotBeforeAndAfterOpen) {
    void* driver = create_();
    ASSERT_NE(driver, nullptr);
    for (int slot :
         {kDriverGetVideoCapture, kDriverGetAuxiliary, kDriverReserved5, kDriverGetPtzDriver,
          kDriverReserved7, kDriverGetVideoCaptureEx, kDriverGetPtzDriverEx}) {
        EXPECT_EQ(CallSlot<void*>(driver, slot), nullptr) << "slot " << slot;
    }

    ASSERT_TRUE(
        (CallSlot<bool, void*, void*, void*>(driver, kDriverOpen, &sink_, &allocator_, &config_)));
    auto notices = sink_.Matching("DRIVER IS OPENED");
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(notices[0].level, 3);
    EXPECT_EQ(notices[0].text,
              "DRIVER IS OPENED (name: ZarnHDIPCapture, device model: Zarn HD2100, FW: 2.4.1, "
              "address: 192.0.2.10:8080)");

    void* capture = CallSlot<void*>(driver, kDriverGetVideoCapture);
    ASSERT_NE(capture, nullptr);
    EXPECT_EQ(CallSlot<void*>(driver, kDriverGetVideoCaptureEx), capture);
    EXPECT_EQ(CallSlot<void*>(driver, kDriverGetAuxiliary), nullptr);
    EXPECT_EQ(CallSlot<void*>(driver, kDriverReserved5), nullptr);
    EXPECT_EQ(CallSlot<void*>(driver, kDriverReserved7), nullptr);
    // Open creates the PTZ handler; both getters hand out the same object.
    void* ptz = CallSlot<void*>(driver, kDriverGetPtzDriver);
    ASSERT_NE(ptz, nullptr);
    EXPECT_EQ(CallSlot<void*>(driver, kDriverGetPtzDriverEx), ptz);
    // The video capture object's channel count comes from the configuration.
    EXPECT_EQ(CallSlot<uint32_t>(capture, 1), 1u);

    CallSlot<void>(driver, kDriverClose);
    EXPECT_EQ(CallSlot<void*>(driver, kDriverGetVideoCapture), nullptr);
    EXPECT_EQ(CallSlot<void*>(driver, kDriverGetPtzDriver), nullptr);
    EXPECT_EQ(CallSlot<void*>(driver, kDriverGetPtzDriverEx), nullptr);
    CallSlot<void>(driver, kDriverClose);  // a second Close does nothing

    // Slot 0 destroys and frees the object (flags bit 0), as DeleteIPCapture does.
    CallSlot<void*, unsigned>(driver, kDriverDestroy, 1u);
}

TEST_F(DriverModuleTest, AllCreateAndDeleteNamesWorkAndNullIsIgnored) {
    for (const char* name :
         {"CreateIPCapture", "CreateIPCaptureEx", "CreateIPCaptureEx2", "CreateIPCaptureEx3"}) {
        auto create = module_.Function<CreateFn>(name);
        ASSERT_NE(create, nullptr) << name;
        // One function under four names, not four copies.
        EXPECT_EQ(module_.Symbol(name), module_.Symbol("CreateIPCapture")) << name;
        void* driver = create();
        ASSERT_NE(driver, nullptr);
        destroy_(driver);
    }
    for (const char* name :
         {"DeleteIPCapture", "DeleteIPCaptureEx", "DeleteIPCaptureEx2", "DeleteIPCaptureEx3"}) {
        auto destroy = module_.Function<DeleteFn>(name);
        ASSERT_NE(destroy, nullptr) << name;
        EXPECT_EQ(module_.Symbol(name), module_.Symbol("DeleteIPCapture")) << name;
        destroy(nullptr);
        void* driver = create_();
        ASSERT_TRUE((CallSlot<bool, void*, void*, void*>(driver, kDriverOpen, &sink_, &allocator_,
                                                         &config_)));
        destroy(driver);  // deletes an opened driver, its video capture object included
    }
}

TEST_F(DriverModuleTest, OpenWithoutConfigurationFailsCleanly) {
    void* driver = create_();
    EXPECT_FALSE(
        (CallSlot<bool, void*, void*, void*>(driver, kDriverOpen, &sink_, nullptr, nullptr)));
    EXPECT_EQ(CallSlot<void*>(driver, kDriverGetVideoCapture), nullptr);
    EXPECT_EQ(sink_.Count("no configuration"), 1u);
    destroy_(driver);

    // No sink at all: nothing to log to, and no crash.
    driver = create_();
    EXPECT_TRUE(
        (CallSlot<bool, void*, void*, void*>(driver, kDriverOpen, nullptr, nullptr, &config_)));
    destroy_(driver);
}

}  // namespace
