// Placeholder until the H.264 channel exists: no channel is made.
#include "channel/channel_factory.h"

namespace talvane {

ICameraChannel* CreateH264HttpChannel(IDriver*, uint32_t, IChannelSink*) { return nullptr; }

}  // namespace talvane
