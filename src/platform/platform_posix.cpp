#include <unistd.h>

#include "platform/platform_backend.h"

namespace talvane::platform {

std::string HostProgramDirectory() {
    char path[4096];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
    if (n <= 0) return "./";
    std::string full(path, static_cast<size_t>(n));
    const size_t slash = full.rfind('/');
    if (slash == std::string::npos) return "./";
    return full.substr(0, slash + 1);
}

// Sockets need no start-up here.
bool StartNetworking() {
    return true;
}
void StopNetworking() {}

namespace backend {

// This platform has no version resources: the caller falls back to 5.12.0.0.
std::optional<Version> ReadHostCoreVersion() {
    return std::nullopt;
}

}  // namespace backend

}  // namespace talvane::platform
