#pragma once

#include <cstdint>

#include "zarn/host.h"

namespace talvane {

class ICameraChannel;

// Makes the channels of the video capture object. The caller owns the channel it gets.
class ICustomCreator {
public:
    virtual ~ICustomCreator() = default;
    virtual ICameraChannel* CreateChannel(uint32_t index, IChannelSink* sink) = 0;
};

}  // namespace talvane
