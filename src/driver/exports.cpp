// The library's entry points for the host: four names of one create function and four names of
// one delete function, with C linkage.
#include "core/boundary_guard.h"
#include "driver/zarn_hd_ip_capture_driver.h"

using talvane::ipcapture::IIPCaptureDriverEx3;

namespace {

// Null when the driver cannot be made (no memory, or its construction failed).
IIPCaptureDriverEx3* CreateDriver() {
    return talvane::GuardBoundary(nullptr, "CreateIPCapture",
                                  static_cast<IIPCaptureDriverEx3*>(nullptr),
                                  [] { return new talvane::CZarnHDIPCaptureDriver(); });
}

void DeleteDriver(IIPCaptureDriverEx3* driver) {
    talvane::GuardBoundary(nullptr, "DeleteIPCapture", [&] { zarn::DestroyInterface(driver); });
}

}  // namespace

ZARN_EXPORT IIPCaptureDriverEx3* ZARN_CALL CreateIPCapture() { return CreateDriver(); }
ZARN_EXPORT IIPCaptureDriverEx3* ZARN_CALL CreateIPCaptureEx() { return CreateDriver(); }
ZARN_EXPORT IIPCaptureDriverEx3* ZARN_CALL CreateIPCaptureEx2() { return CreateDriver(); }
ZARN_EXPORT IIPCaptureDriverEx3* ZARN_CALL CreateIPCaptureEx3() { return CreateDriver(); }

ZARN_EXPORT void ZARN_CALL DeleteIPCapture(IIPCaptureDriverEx3* driver) { DeleteDriver(driver); }
ZARN_EXPORT void ZARN_CALL DeleteIPCaptureEx(IIPCaptureDriverEx3* driver) { DeleteDriver(driver); }
ZARN_EXPORT void ZARN_CALL DeleteIPCaptureEx2(IIPCaptureDriverEx3* driver) { DeleteDriver(driver); }
ZARN_EXPORT void ZARN_CALL DeleteIPCaptureEx3(IIPCaptureDriverEx3* driver) { DeleteDriver(driver); }
