#include "core/host_call.h"

namespace talvane::host_call {

bool RunGuarded(void (*fn)(void*), void* context) noexcept {
    fn(context);
    return true;
}

}  // namespace talvane::host_call
