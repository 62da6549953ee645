// Placeholder until the PTZ handler exists: the driver has no PTZ handler.
#include "ptz/ptz_handler_factory.h"

namespace talvane {

CBasePTZHandler* CreateZarnPtzHandler(IDriver*) { return nullptr; }

void DestroyPtzHandler(CBasePTZHandler*& handler) { handler = nullptr; }

IIPPTZDriverEx* PtzHandlerInterface(CBasePTZHandler*) { return nullptr; }

}  // namespace talvane
