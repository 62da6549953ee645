// DriverLibrary: the driver module loaded the way a recording server loads it: dlopen of the
// module file, then the exported C entry points resolved by name. Nothing of the driver is linked
// into the host; every later call goes through the interfaces of include/zarn/.
//
// Owned by the command that runs; used on that command's thread. The module stays loaded until
// the object is destroyed, so every driver object must be deleted before that.
#pragma once

#include <filesystem>
#include <string>

#include "zarn/capability.h"
#include "zarn/capture.h"

namespace zarnhost {

// The folder of the running executable; empty when it cannot be found.
std::filesystem::path ProgramFolder();

class DriverLibrary {
public:
    DriverLibrary() = default;
    ~DriverLibrary();
    DriverLibrary(const DriverLibrary&) = delete;
    DriverLibrary& operator=(const DriverLibrary&) = delete;

    // The module file beside the running executable (a build folder) or, when there is none
    // there, in ../lib/zarn/ from it (an installed zarnhost).
    static std::string DefaultPath();

    // Loads the module and resolves the capture exports (all eight names must be there) and, when
    // present, the four capability-query exports. On failure `error` gets one line.
    bool Load(const std::string& path, std::string* error);

    const std::string& Path() const { return path_; }
    // The module's version as its file records it (the DLL's version resource); empty where the
    // module carries none (the Linux plug-in).
    std::string Version() const;

    // Drivers opened from this module forward every log record, level 4 included (zarnhost -v);
    // set before the first DriverSession opens.
    bool diagnosticLog = false;

    ZarnCreateIPCaptureFn create = nullptr;
    ZarnDeleteIPCaptureFn destroy = nullptr;

    bool HasCapabilityQuery() const {
        return initQuery != nullptr && startQuery != nullptr && terminateQuery != nullptr &&
               uninitQuery != nullptr;
    }
    ZarnInitCapabilityQueryFn initQuery = nullptr;
    ZarnStartCapabilityQueryFn startQuery = nullptr;
    ZarnTerminateCapabilityQueryFn terminateQuery = nullptr;
    ZarnUninitCapabilityQueryFn uninitQuery = nullptr;

private:
    void* Symbol(const char* name) const;

    void* handle_ = nullptr;
    std::string path_;
};

}  // namespace zarnhost
