// The library's entry points for the host: four names of one create function and four names of
// one delete function, with C linkage.
#include <new>

#include "driver/zarn_hd_ip_capture_driver.h"

using talvane::ipcapture::IIPCaptureDriverEx3;

namespace {

IIPCaptureDriverEx3* CreateDriver() {
    return new (std::nothrow) talvane::CZarnHDIPCaptureDriver();
}

void DeleteDriver(IIPCaptureDriverEx3* driver) { zarn::DestroyInterface(driver); }

}  // namespace

ZARN_EXPORT IIPCaptureDriverEx3* ZARN_CALL CreateIPCapture() { return CreateDriver(); }
ZARN_EXPORT IIPCaptureDriverEx3* ZARN_CALL CreateIPCaptureEx() { return CreateDriver(); }
ZARN_EXPORT IIPCaptureDriverEx3* ZARN_CALL CreateIPCaptureEx2() { return CreateDriver(); }
ZARN_EXPORT IIPCaptureDriverEx3* ZARN_CALL CreateIPCaptureEx3() { return CreateDriver(); }

ZARN_EXPORT void ZARN_CALL DeleteIPCapture(IIPCaptureDriverEx3* driver) { DeleteDriver(driver); }
ZARN_EXPORT void ZARN_CALL DeleteIPCaptureEx(IIPCaptureDriverEx3* driver) { DeleteDriver(driver); }
ZARN_EXPORT void ZARN_CALL DeleteIPCaptureEx2(IIPCaptureDriverEx3* driver) { DeleteDriver(driver); }
ZARN_EXPORT void ZARN_CALL DeleteIPCaptureEx3(IIPCaptureDriverEx3* driver) { DeleteDriver(driver); }
