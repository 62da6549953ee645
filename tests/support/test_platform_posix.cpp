#include <stdlib.h>

#include <filesystem>
#include <string>

#include "support/test_platform.h"

namespace zarntest {

bool RunningUnderWine() {
    return false;
}

std::string HostText(const std::string& utf8) {
    return utf8;
}

bool HostCodePageIsUtf8() {
    return true;
}

bool RaiseHostException() {
    return false;
}

bool HostExceptionsAreStructured() {
    return false;
}

std::string MakeTempFolder(const std::string& prefix) {
    std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "XXXXXX")).string();
    return mkdtemp(pattern.data()) != nullptr ? pattern : std::string();
}

}  // namespace zarntest
