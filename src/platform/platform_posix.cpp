#include <unistd.h>

#include <mutex>

#include "platform/platform.h"

namespace talvane::platform {

namespace {
std::mutex gVersionMutex;
std::optional<Version> gInjectedVersion;
}  // namespace

std::string HostProgramDirectory() {
    char path[4096];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
    if (n <= 0) return "./";
    std::string full(path, static_cast<size_t>(n));
    const size_t slash = full.rfind('/');
    if (slash == std::string::npos) return "./";
    return full.substr(0, slash + 1);
}

Version HostCoreVersion() {
    std::lock_guard<std::mutex> lock(gVersionMutex);
    if (gInjectedVersion) return *gInjectedVersion;
    // This platform has no version resources: the host core counts as 5.12.0.0.
    return Version{5, 12, 0, 0};
}

void SetHostCoreVersionForTesting(std::optional<Version> version) {
    std::lock_guard<std::mutex> lock(gVersionMutex);
    gInjectedVersion = version;
}

}  // namespace talvane::platform
