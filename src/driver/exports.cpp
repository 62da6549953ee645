// The library's entry points for the host, with C linkage.
#include "core/boundary_guard.h"
#include "driver/zarn_hd_ip_capture_driver.h"
#include "platform/platform.h"

using talvane::ipcapture::IIPCaptureDriverEx3;

// One create function and one delete function. The other three names of each are aliases: in
// the .def file on Windows, and symbol aliases here elsewhere (the .def file is not used there).
ZARN_EXPORT IIPCaptureDriverEx3* ZARN_CALL CreateIPCapture() {
    // Null when the driver cannot be made (no memory, or its construction failed).
    talvane::platform::PinModuleAtFirstUse();
    return talvane::GuardBoundary(nullptr, "CreateIPCapture",
                                  static_cast<IIPCaptureDriverEx3*>(nullptr),
                                  [] { return new talvane::CZarnHDIPCaptureDriver(); });
}

ZARN_EXPORT void ZARN_CALL DeleteIPCapture(IIPCaptureDriverEx3* driver) {
    talvane::GuardBoundary(nullptr, "DeleteIPCapture", [&] { zarn::DestroyInterface(driver); });
}

#ifndef _WIN32
#define ZARN_ALIAS_OF(target) __attribute__((alias(#target)))
ZARN_EXPORT IIPCaptureDriverEx3* CreateIPCaptureEx() ZARN_ALIAS_OF(CreateIPCapture);
ZARN_EXPORT IIPCaptureDriverEx3* CreateIPCaptureEx2() ZARN_ALIAS_OF(CreateIPCapture);
ZARN_EXPORT IIPCaptureDriverEx3* CreateIPCaptureEx3() ZARN_ALIAS_OF(CreateIPCapture);
ZARN_EXPORT void DeleteIPCaptureEx(IIPCaptureDriverEx3* driver) ZARN_ALIAS_OF(DeleteIPCapture);
ZARN_EXPORT void DeleteIPCaptureEx2(IIPCaptureDriverEx3* driver) ZARN_ALIAS_OF(DeleteIPCapture);
ZARN_EXPORT void DeleteIPCaptureEx3(IIPCaptureDriverEx3* driver) ZARN_ALIAS_OF(DeleteIPCapture);
#undef ZARN_ALIAS_OF
#endif
