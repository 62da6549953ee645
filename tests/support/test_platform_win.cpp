#include <windows.h>

#include <string>

#include "support/test_platform.h"

namespace zarntest {

// Wine's ntdll exports its version; Windows' does not.
bool RunningUnderWine() {
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

std::string HostText(const std::string& utf8) {
    const int size = static_cast<int>(utf8.size());
    std::wstring wide(utf8.size(), L'\0');
    wide.resize(
        static_cast<size_t>(MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, wide.data(), size)));
    std::string host(wide.size() * 4, '\0');
    host.resize(static_cast<size_t>(
        WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()), host.data(),
                            static_cast<int>(host.size()), "?", nullptr)));
    return host;
}

bool HostCodePageIsUtf8() {
    return GetACP() == CP_UTF8;
}

bool RaiseHostException() {
    // MSVC's throw passes the object, its type information and (on 64-bit) its image base; the
    // driver looks only at the code.
    const ULONG_PTR arguments[] = {0x19930520, 0, 0, 0};
    RaiseException(0xE06D7363, EXCEPTION_NONCONTINUABLE, sizeof(arguments) / sizeof(arguments[0]),
                   arguments);
    return true;
}

bool HostExceptionsAreStructured() {
    return true;
}

std::string MakeTempFolder(const std::string& prefix) {
    char base[MAX_PATH + 1];
    const DWORD length = GetTempPathA(sizeof(base), base);
    if (length == 0 || length > MAX_PATH) return std::string();
    for (unsigned attempt = 0; attempt < 1000; ++attempt) {
        const std::string path = std::string(base) + prefix +
                                 std::to_string(GetCurrentProcessId()) + "-" +
                                 std::to_string(GetTickCount() + attempt);
        if (CreateDirectoryA(path.c_str(), nullptr)) return path;
        if (GetLastError() != ERROR_ALREADY_EXISTS) break;
    }
    return std::string();
}

}  // namespace zarntest
