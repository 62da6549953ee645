// A test fixture that treats the driver as the host does: the built module is loaded, drivers are
// created and deleted only through its raw exports and opened through slot 1 with the fake host
// objects below. Drivers a test leaves alive are deleted in TearDown.
#pragma once

#include <gtest/gtest.h>

#include <vector>

#include "support/driver_module.h"
#include "support/fake_host.h"

namespace zarntest {

// Slots of the driver's primary interface.
enum DriverSlot {
    kDriverDestroy = 0,
    kDriverOpen = 1,
    kDriverClose = 2,
    kDriverGetVideoCapture = 3,
    kDriverGetAuxiliary = 4,
    kDriverReserved5 = 5,
    kDriverGetPtzDriver = 6,
    kDriverReserved7 = 7,
    kDriverGetVideoCaptureEx = 8,
    kDriverGetPtzDriverEx = 9,
};

class ModuleFixture : public ::testing::Test {
protected:
    using CreateFn = void* (*)();
    using DeleteFn = void (*)(void*);

    void SetUp() override;
    void TearDown() override;

    // A new driver from CreateIPCapture, deleted at the end of the test unless DeleteDriver ran.
    void* CreateDriver();
    // A new driver opened with sink_, allocator_ and config_ (the open is expected to succeed).
    void* OpenDriver();
    void DeleteDriver(void* driver);

    DriverModule module_;
    CreateFn create_ = nullptr;
    DeleteFn destroy_ = nullptr;
    FakeDebugSink sink_;
    FakeFrameAllocator allocator_;
    FakeDriverConfig config_;

private:
    std::vector<void*> drivers_;
};

}  // namespace zarntest
