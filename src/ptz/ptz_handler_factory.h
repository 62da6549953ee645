// How the driver object creates, reaches and destroys its PTZ handler without depending on the
// handler's definition.
#pragma once

#include "core/idriver.h"
#include "zarn/ptz.h"

namespace talvane {

class CBasePTZHandler;

// A new handler of the camera family for `owner`, or null when it cannot be created.
CBasePTZHandler* CreateZarnPtzHandler(IDriver* owner);
// Deletes the handler (stopping every PTZ thread) and sets the pointer to null.
void DestroyPtzHandler(CBasePTZHandler*& handler);
// The handler as the host sees it; null for null.
IIPPTZDriverEx* PtzHandlerInterface(CBasePTZHandler* handler);

}  // namespace talvane
