#include "driver_library.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include <filesystem>
#include <system_error>

namespace zarnhost {

namespace {
#ifdef _WIN32
constexpr const char* kModuleFile = "ZarnHDIPCapture.dll";
#else
constexpr const char* kModuleFile = "ZarnHDIPCapture.so";
#endif

template <class Fn>
Fn As(void* symbol) {
    return reinterpret_cast<Fn>(symbol);
}
}  // namespace

DriverLibrary::~DriverLibrary() {
#ifdef _WIN32
    if (handle_ != nullptr) FreeLibrary(static_cast<HMODULE>(handle_));
#else
    if (handle_ != nullptr) dlclose(handle_);
#endif
}

std::filesystem::path ProgramFolder() {
#ifdef _WIN32
    char path[MAX_PATH] = {};
    const DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return {};
    return std::filesystem::path(path).parent_path();
#else
    std::error_code ec;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::filesystem::path() : self.parent_path();
#endif
}

std::string DriverLibrary::DefaultPath() {
    std::error_code ec;
    const std::filesystem::path folder = ProgramFolder();
    if (folder.empty()) return kModuleFile;
    const std::filesystem::path beside = folder / kModuleFile;
    // Installed: <prefix>/bin/zarnhost and <prefix>/lib/zarn/ZarnHDIPCapture.so.
    const std::filesystem::path installed =
        (folder / ".." / "lib" / "zarn" / kModuleFile).lexically_normal();
    if (!std::filesystem::exists(beside, ec) && std::filesystem::exists(installed, ec)) {
        return installed.string();
    }
    return beside.string();
}

std::string DriverLibrary::Version() const {
#ifdef _WIN32
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(path_.c_str(), &ignored);
    if (size == 0) return {};
    std::string data(size, '\0');
    VS_FIXEDFILEINFO* info = nullptr;
    UINT length = 0;
    if (!GetFileVersionInfoA(path_.c_str(), 0, size, data.data()) ||
        !VerQueryValueA(data.data(), "\\", reinterpret_cast<void**>(&info), &length) ||
        info == nullptr) {
        return {};
    }
    return std::to_string(HIWORD(info->dwFileVersionMS)) + "." +
           std::to_string(LOWORD(info->dwFileVersionMS)) + "." +
           std::to_string(HIWORD(info->dwFileVersionLS)) + "." +
           std::to_string(LOWORD(info->dwFileVersionLS));
#else
    return {};
#endif
}

void* DriverLibrary::Symbol(const char* name) const {
#ifdef _WIN32
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle_), name));
#else
    return dlsym(handle_, name);
#endif
}

bool DriverLibrary::Load(const std::string& path, std::string* error) {
    path_ = path;
    std::error_code ec;
    if (!std::filesystem::exists(path, ec)) {
        *error = "driver module not found: " + path + " (give its location with --driver PATH)";
        return false;
    }
#ifdef _WIN32
    handle_ = LoadLibraryA(path.c_str());
    if (handle_ == nullptr) {
        *error = "cannot load driver module " + path + ": LoadLibrary failed with error " +
                 std::to_string(GetLastError());
        return false;
    }
#else
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
        const char* why = dlerror();
        *error =
            "cannot load driver module " + path + ": " + (why != nullptr ? why : "unknown error");
        return false;
    }
#endif
    // A host resolves every generation of the entry points; this one calls the newest pair.
    static const char* const kCreateNames[] = {"CreateIPCapture", "CreateIPCaptureEx",
                                               "CreateIPCaptureEx2", "CreateIPCaptureEx3"};
    static const char* const kDeleteNames[] = {"DeleteIPCapture", "DeleteIPCaptureEx",
                                               "DeleteIPCaptureEx2", "DeleteIPCaptureEx3"};
    for (const char* name : kCreateNames) {
        create = As<ZarnCreateIPCaptureFn>(Symbol(name));
        if (create == nullptr) {
            *error = path + " is not a capture driver: export " + name + " is missing";
            return false;
        }
    }
    for (const char* name : kDeleteNames) {
        destroy = As<ZarnDeleteIPCaptureFn>(Symbol(name));
        if (destroy == nullptr) {
            *error = path + " is not a capture driver: export " + name + " is missing";
            return false;
        }
    }
    initQuery = As<ZarnInitCapabilityQueryFn>(Symbol("InitCapabilityQuery"));
    startQuery = As<ZarnStartCapabilityQueryFn>(Symbol("StartCapabilityQuery"));
    terminateQuery = As<ZarnTerminateCapabilityQueryFn>(Symbol("TerminateCapabilityQuery"));
    uninitQuery = As<ZarnUninitCapabilityQueryFn>(Symbol("UninitCapabilityQuery"));
    return true;
}

}  // namespace zarnhost
