#include <dlfcn.h>

#include "support/driver_module.h"

namespace zarntest {

const char* DriverModule::Path() {
    return ZARN_MODULE_PATH;
}

DriverModule::DriverModule() {
    handle_ = dlopen(Path(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
        const char* e = dlerror();
        error_ = e != nullptr ? e : "dlopen failed";
    }
}

DriverModule::~DriverModule() {
    Unload();
}

void DriverModule::Unload() {
    if (handle_ != nullptr) dlclose(handle_);
    handle_ = nullptr;
}

bool DriverModule::IsLoaded() {
    void* handle = dlopen(Path(), RTLD_NOW | RTLD_NOLOAD);
    if (handle == nullptr) return false;
    dlclose(handle);
    return true;
}

void* DriverModule::Symbol(const char* name) const {
    return handle_ != nullptr ? dlsym(handle_, name) : nullptr;
}

}  // namespace zarntest
