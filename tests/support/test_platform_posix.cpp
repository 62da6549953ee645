#include "support/test_platform.h"

namespace zarntest {

bool RunningUnderWine() {
    return false;
}

}  // namespace zarntest
