// What each platform file (platform_posix.cpp, platform_win.cpp) supplies to platform_common.cpp.
#pragma once

#include <optional>

#include "platform/platform.h"

namespace talvane::platform::backend {

// Product version of the host core library as this platform reads it; nullopt when there is no
// such library, no version resource, or the lookup failed.
std::optional<Version> ReadHostCoreVersion();

}  // namespace talvane::platform::backend
