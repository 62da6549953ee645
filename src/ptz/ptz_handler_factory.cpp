// Creation and destruction of the camera family's PTZ handler for the driver object.
#include "ptz/ptz_handler_factory.h"

#include <new>

#include "ptz/zarn_hd_ptz_handler.h"

namespace talvane {

CBasePTZHandler* CreateZarnPtzHandler(IDriver* owner) {
    return new (std::nothrow) CZarnHDPTZHandler(owner);
}

void DestroyPtzHandler(CBasePTZHandler*& handler) {
    delete handler;
    handler = nullptr;
}

IIPPTZDriverEx* PtzHandlerInterface(CBasePTZHandler* handler) {
    return handler;
}

}  // namespace talvane
