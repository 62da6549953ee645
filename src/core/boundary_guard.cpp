#include "core/boundary_guard.h"

namespace talvane {

void LogCaughtAtBoundary(IDebugMessage* log, const char* where, const char* what) noexcept {
    if (log == nullptr) return;
    try {
        log->Log(kLogFailure, "%s: unexpected failure (%s)", where != nullptr ? where : "",
                 what != nullptr ? what : "");
    } catch (...) {
        // Nothing more can be said.
    }
}

}  // namespace talvane
