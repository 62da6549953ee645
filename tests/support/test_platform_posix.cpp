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

}  // namespace zarntest
