#include <windows.h>

#include "support/test_platform.h"

namespace zarntest {

// Wine's ntdll exports its version; Windows' does not.
bool RunningUnderWine() {
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

}  // namespace zarntest
