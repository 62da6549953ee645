#include "channel/channel_factory.h"

#include <exception>

#include "channel/h264_http_channel.h"

namespace talvane {

ICameraChannel* CreateH264HttpChannel(IDriver* driver, uint32_t index, IChannelSink* sink) {
    try {
        return new CH264HttpChannel(driver, index, sink);
    } catch (const std::exception&) {
        return nullptr;
    }
}

}  // namespace talvane
