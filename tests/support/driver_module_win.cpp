#include <windows.h>

#include "support/driver_module.h"

namespace zarntest {

const char* DriverModule::Path() {
    return ZARN_MODULE_PATH;
}

DriverModule::DriverModule() {
    handle_ = LoadLibraryA(Path());
    if (handle_ == nullptr) {
        error_ = "LoadLibraryA(" + std::string(Path()) + ") failed with error " +
                 std::to_string(GetLastError());
    }
}

DriverModule::~DriverModule() {
    Unload();
}

void DriverModule::Unload() {
    if (handle_ != nullptr) FreeLibrary(static_cast<HMODULE>(handle_));
    handle_ = nullptr;
}

bool DriverModule::IsLoaded() {
    return GetModuleHandleA(Path()) != nullptr;
}

void* DriverModule::Symbol(const char* name) const {
    if (handle_ == nullptr) return nullptr;
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle_), name));
}

}  // namespace zarntest
