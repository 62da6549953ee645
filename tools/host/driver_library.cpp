#include "driver_library.h"

#include <dlfcn.h>

#include <filesystem>
#include <system_error>

namespace zarnhost {

namespace {
constexpr const char* kModuleFile = "ZarnHDIPCapture.so";

template <class Fn>
Fn As(void* symbol) {
    return reinterpret_cast<Fn>(symbol);
}
}  // namespace

DriverLibrary::~DriverLibrary() {
    if (handle_ != nullptr) dlclose(handle_);
}

std::string DriverLibrary::DefaultPath() {
    std::error_code ec;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) return kModuleFile;
    const std::filesystem::path beside = self.parent_path() / kModuleFile;
    // Installed: <prefix>/bin/zarnhost and <prefix>/lib/zarn/ZarnHDIPCapture.so.
    const std::filesystem::path installed =
        (self.parent_path() / ".." / "lib" / "zarn" / kModuleFile).lexically_normal();
    if (!std::filesystem::exists(beside, ec) && std::filesystem::exists(installed, ec)) {
        return installed.string();
    }
    return beside.string();
}

void* DriverLibrary::Symbol(const char* name) const {
    return dlsym(handle_, name);
}

bool DriverLibrary::Load(const std::string& path, std::string* error) {
    path_ = path;
    std::error_code ec;
    if (!std::filesystem::exists(path, ec)) {
        *error = "driver module not found: " + path + " (give its location with --driver PATH)";
        return false;
    }
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
        const char* why = dlerror();
        *error =
            "cannot load driver module " + path + ": " + (why != nullptr ? why : "unknown error");
        return false;
    }
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
