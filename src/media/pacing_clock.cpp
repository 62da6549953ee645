#include "media/pacing_clock.h"

namespace talvane {

uint64_t CPacingClock::NowMs() {
    return platform::MonotonicMs();
}

void CPacingClock::Wait(uint32_t ms) {
    if (ms == 0) return;
    if (stopEvent_ != nullptr) {
        stopEvent_->Wait(ms);
    } else {
        platform::SleepMs(ms);
    }
}

}  // namespace talvane
