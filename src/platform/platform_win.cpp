#include <windows.h>
#include <winsock2.h>

#include <chrono>
#include <climits>
#include <mutex>
#include <string>
#include <vector>

#include "platform/platform_backend.h"

namespace talvane::platform {

void Event::Set() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        set_.store(true);
    }
    if (manualReset_) {
        cv_.notify_all();
    } else {
        cv_.notify_one();
    }
}

void Event::Reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    set_.store(false);
}

bool Event::Wait(uint32_t timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (timeoutMs == kInfinite) {
        cv_.wait(lock, [this] { return set_.load(); });
    } else if (!cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [this] { return set_.load(); })) {
        return false;
    }
    if (!manualReset_) set_.store(false);
    return true;
}

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

namespace {

// One conversion between two code pages through UTF-16. `strict` refuses bytes that are not text
// of `from`; otherwise they become U+FFFD. Into a code page other than UTF-8, characters it
// cannot show become its default character, never a look-alike.
bool Recode(const std::string& text, UINT from, UINT to, bool strict, std::string& out) {
    out.clear();
    if (text.empty()) return true;
    if (text.size() > static_cast<size_t>(INT_MAX / 4)) return false;
    const int size = static_cast<int>(text.size());
    const DWORD toWide = strict ? MB_ERR_INVALID_CHARS : 0;
    const int wideLength = MultiByteToWideChar(from, toWide, text.data(), size, nullptr, 0);
    if (wideLength <= 0) return false;
    std::wstring wide(static_cast<size_t>(wideLength), L'\0');
    if (MultiByteToWideChar(from, toWide, text.data(), size, wide.data(), wideLength) !=
        wideLength) {
        return false;
    }
    const DWORD fromWide = to == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS;
    const int length =
        WideCharToMultiByte(to, fromWide, wide.data(), wideLength, nullptr, 0, nullptr, nullptr);
    if (length <= 0) return false;
    out.resize(static_cast<size_t>(length));
    if (WideCharToMultiByte(to, fromWide, wide.data(), wideLength, out.data(), length, nullptr,
                            nullptr) != length) {
        out.clear();
        return false;
    }
    return true;
}

}  // namespace

bool HostTextToUtf8(const std::string& text, std::string& out) {
    return Recode(text, CP_ACP, CP_UTF8, true, out);
}

std::string Utf8ToHostText(const std::string& text) {
    std::string out;
    if (!Recode(text, CP_UTF8, GetACP(), false, out)) out.clear();
    return out;
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

void PinModuleAtFirstUse() {
    static const bool pinned = PinModule();
    (void)pinned;
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
