#include <windows.h>
#include <winsock2.h>

#include <vector>

#include "platform/platform_backend.h"

namespace talvane::platform {

std::string HostProgramDirectory() {
    // A path of any length: grow the buffer while GetModuleFileNameA fills it completely.
    std::vector<char> path(MAX_PATH);
    for (;;) {
        const DWORD n = GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0) return ".\\";
        if (n < path.size()) {
            const std::string full(path.data(), n);
            const size_t separator = full.find_last_of("\\/");
            if (separator == std::string::npos) return ".\\";
            return full.substr(0, separator + 1);
        }
        if (path.size() >= 32768) return ".\\";
        path.resize(path.size() * 2);
    }
}

std::string AsFolderPrefix(const std::string& folder) {
    if (!folder.empty() && (folder.back() == '\\' || folder.back() == '/')) return folder;
    return folder + '\\';
}

bool PinModule() {
    // Any address inside the module names it; a pinned module stays loaded until the process
    // ends, whatever FreeLibrary calls follow.
    static const char kAnchor = 0;
    HMODULE module = nullptr;
    return GetModuleHandleExA(
               GET_MODULE_HANDLE_EX_FLAG_PIN | GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, &kAnchor,
               &module) != 0;
}

bool StartNetworking() {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

void StopNetworking() {
    WSACleanup();
}

namespace backend {

std::optional<Version> ReadHostCoreVersion() {
    // The host core library is looked up by its bare name, through the system's search order.
    const char* const kHostCore = "tessark.dll";
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(kHostCore, &ignored);
    if (size == 0) return std::nullopt;
    std::vector<char> block(size);
    if (!GetFileVersionInfoA(kHostCore, 0, size, block.data())) return std::nullopt;
    VS_FIXEDFILEINFO* info = nullptr;
    UINT length = 0;
    if (!VerQueryValueA(block.data(), "\\", reinterpret_cast<void**>(&info), &length) ||
        info == nullptr || length < sizeof(VS_FIXEDFILEINFO)) {
        return std::nullopt;
    }
    Version version;
    version.major = HIWORD(info->dwProductVersionMS);
    version.minor = LOWORD(info->dwProductVersionMS);
    version.build = HIWORD(info->dwProductVersionLS);
    version.revision = LOWORD(info->dwProductVersionLS);
    return version;
}

}  // namespace backend

}  // namespace talvane::platform
