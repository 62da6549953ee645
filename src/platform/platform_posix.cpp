#include <dlfcn.h>
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

std::string AsFolderPrefix(const std::string& folder) {
    if (!folder.empty() && folder.back() == '/') return folder;
    return folder + '/';
}

bool PinModule() {
    // Any address inside the module names it; a reference taken with RTLD_NODELETE keeps it
    // mapped for the rest of the process. The handle is never closed on purpose.
    static const char kAnchor = 0;
    Dl_info info{};
    if (dladdr(&kAnchor, &info) == 0 || info.dli_fname == nullptr) return false;
    return dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE) != nullptr;
}

// The host's text is UTF-8 here.
bool HostTextToUtf8(const std::string& text, std::string& out) {
    out = text;
    return true;
}

std::string Utf8ToHostText(const std::string& text) {
    return text;
}

void PinModuleAtFirstUse() {}

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
