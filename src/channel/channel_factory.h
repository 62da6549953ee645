// How the driver object creates the camera family's channel without depending on its definition.
#pragma once

#include <cstdint>

#include "core/idriver.h"
#include "zarn/host.h"

namespace talvane {

class ICameraChannel;

// A new, not yet started H.264-over-HTTP channel, owned by the caller; null when it cannot be made.
ICameraChannel* CreateH264HttpChannel(IDriver* driver, uint32_t index, IChannelSink* sink);

}  // namespace talvane
