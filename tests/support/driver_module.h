// Loads the built driver module as the host does (dlopen, or LoadLibraryA on Windows) and resolves
// its exports.
#pragma once

#include <string>

namespace zarntest {

class DriverModule {
public:
    DriverModule();  // loads ZARN_MODULE_PATH
    ~DriverModule();
    DriverModule(const DriverModule&) = delete;
    DriverModule& operator=(const DriverModule&) = delete;

    bool Loaded() const { return handle_ != nullptr; }
    const std::string& Error() const { return error_; }
    void* Symbol(const char* name) const;
    template <class Fn>
    Fn Function(const char* name) const {
        return reinterpret_cast<Fn>(Symbol(name));
    }
    // Drops this object's reference to the module (the module unloads unless others hold it or
    // it is pinned).
    void Unload();
    // True when the module at Path() is loaded in this process, whoever holds it.
    static bool IsLoaded();
    static const char* Path();

private:
    void* handle_ = nullptr;
    std::string error_;
};

}  // namespace zarntest
